// Configuration files: YAML files, texts and templates; JSON with line comments.
#include "../cargohold.hpp"

#include "../../support/atomic_file.hpp"
#include "text_file_reading.hpp"
#include "line_comments.hpp"
#include "../stand_ins/member_test.hpp"
#include "../stand_ins/file_queries.hpp"

namespace quillkit::cargohold {

namespace {

const char* const kYamlMissing = "❌ 缺少 Python 套件 'PyYAML'。請執行：pip install pyyaml";

// ---------------------------------------------------------------------------------------------
// YAML

// True when PyYAML was imported with the module; otherwise says how to install it. The flag is
// read on every call, so a program (or a test) that changes it is obeyed.
bool yaml_available(Call& c, nb::handle logger) {
    if (truthy(c.global(names::has_yaml))) return true;
    log_to(logger, names::error, literal(kYamlMissing));
    return false;
}

// Whether `Path(file_path).is_file()`.
bool path_is_file(Call& c, nb::str file_path) {
    const stand_ins::NativePath native = stand_ins::native_path(c, file_path, stand_ins::kQuery);
    if (native) return native.kind == stand_ins::Kind::regular_file;
    return truthy(call_method(call(c.global(names::Path), {file_path}), names::is_file));
}

// The value safe loading builds from a YAML file; None after a logged error.
nb::object load_yaml_config(Call& c, nb::str file_path, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    if (!yaml_available(c, chosen)) return nb::none();
    if (!path_is_file(c, file_path)) {
        log_to(chosen, names::error, concat({"❌ 找不到 YAML 設定檔或路徑無效：", file_path}));
        return nb::none();
    }
    try {
        // The loader reads the open stream itself; the file is closed before anything is logged.
        nb::object loaded = with_open_text(c, file_path, [&](nb::handle file) {
            return call_method(c.global(names::yaml), names::safe_load, {file});
        });
        return loaded.is_valid() ? loaded : nb::none();
    } catch (nb::python_error& error) {
        // Only the package's own errors: a failure to open or decode the file is the caller's.
        if (!error.matches(attr(c.global(names::yaml), names::YAMLError))) throw;
        log_to(chosen, names::error, concat({"❌ 解析 YAML 失敗：", error.value()}));
        return nb::none();
    }
}

// The value safe loading builds from a YAML text; None after a logged error.
nb::object load_yaml_string(Call& c, nb::str yaml_content, nb::str label, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    if (!yaml_available(c, chosen)) return nb::none();
    try {
        return call_method(c.global(names::yaml), names::safe_load, {yaml_content});
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(chosen, names::error, concat({"❌ 解析 ", label, " 失敗：", error.value()}));
        return nb::none();
    }
}

// The absolute path of the template written verbatim to `output_file`.
nb::object save_yaml_template(Call& c, nb::str template_content, nb::str output_file,
                              nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    // Through a temporary file renamed over the old one, so a failed write keeps the previous
    // template whole. The parent directory must exist already: a template lands where the user
    // asked, never in directories made up for it.
    replace_file_text(output_file, template_content);
    log_to(chosen, names::info, concat({"🎉 成功產出 YAML 範本：", output_file}));
    return call_method(attr(c.global(names::os), names::path), names::abspath, {output_file});
}

// ---------------------------------------------------------------------------------------------
// JSON

// The values of `required_keys` in `data`, as a tuple in the keys' order; None after naming the
// missing ones. Membership is the `in` test, so an array is searched by its elements (by hash,
// where their comparisons are the interpreter's own).
nb::object pick_required(Call& c, nb::handle data, nb::handle required_keys, nb::handle file_path) {
    nb::object missing = require(PyList_New(0));
    stand_ins::MemberTest present(data, stand_ins::MemberTest::Match::equal);
    for_each_item(required_keys, [&](nb::handle key) {
        if (!present.matches(key)) {
            require_status(PyList_Append(missing.ptr(), key.ptr()));
        }
        return true;
    });
    if (PyList_GET_SIZE(missing.ptr()) > 0) {
        log_to(c.global(names::log), names::error,
               concat({"❌ JSON 格式錯誤，缺少 Key：", missing, " 於 ", file_path}));
        return nb::none();
    }
    nb::object values = require(PyList_New(0));
    for_each_item(required_keys, [&](nb::handle key) {
        nb::object value = require(PyObject_GetItem(data.ptr(), key.ptr()));
        require_status(PyList_Append(values.ptr(), value.ptr()));
        return true;
    });
    return require(PyList_AsTuple(values.ptr()));
}

// The parsed JSON file (comments dropped), or the values of the required keys; None after a
// logged error. Every message goes to the module logger.
nb::object load_json_config(Call& c, nb::str file_path, Optional<nb::list> required_keys) {
    if (!is_path_kind(call(c.global(names::get_path_type), {file_path}), PathKind::regular_file)) {
        log_to(c.global(names::log), names::error, concat({"❌ JSON 檔案不存在或無效：", file_path}));
        return nb::none();
    }
    try {
        nb::object content;
        nb::object text = stand_ins::plain_path_text(c, file_path, stand_ins::kReadText);
        if (text.is_valid()) {
            content = stand_ins::read_text(text);
        } else {
            nb::object path = call(c.global(names::Path), {file_path});
            content = call_method(path, names::read_text, {}, {{names::encoding, names::utf_8.handle()}});
        }
        nb::object data = call_method(c.global(names::json), names::loads, {strip_line_comments(content)});
        if (!truthy(required_keys.handle())) return data;
        return pick_required(c, data, required_keys.handle(), file_path);
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(c.global(names::log), names::error,
               concat({"❌ 載入 JSON 設定失敗 ", file_path, "：", error.value()}));
        return nb::none();
    }
}


}  // namespace

constexpr Function kSaveYamlTemplate{
    "save_yaml_template",
    body<save_yaml_template>,
    {Param{"template_content", Rule::str, "str"},
     Param{"output_file", Rule::str, "str", Default::text("default_config.yaml")}, kLogger},
    Returns{"str", Rule::str},
    "將 YAML 範本文字原樣寫入檔案（不建立上層目錄），回傳檔案的絕對路徑。\n\n"
    "    內容先寫入同目錄的暫存檔再取代原檔，寫入失敗時原檔保持不變。\n\n"
    "    範例：\n"
    "        path = save_yaml_template(\"key: value\\n\", \"config.yaml\")"};

constexpr Function kLoadYamlConfig{
    "load_yaml_config",
    body<load_yaml_config>,
    {Param{"file_path", Rule::str, "str"}, kLogger},
    Returns{},
    "以 yaml.safe_load 讀取 YAML 設定檔；失敗時記錄錯誤並回傳 None。\n\n"
    "    範例：\n"
    "        config = load_yaml_config(\"config.yaml\")"};

constexpr Function kLoadYamlString{
    "load_yaml_string",
    body<load_yaml_string>,
    {Param{"yaml_content", Rule::str, "str"}, Param{"label", Rule::str, "str", Default::text("YAML 內容")},
     kLogger},
    Returns{},
    "以 yaml.safe_load 解析 YAML 文字；失敗時記錄錯誤並回傳 None。\n\n"
    "    範例：\n"
    "        defaults = load_yaml_string(DEFAULT_YAML, label=\"預設設定\")"};

constexpr Function kLoadJsonConfig{
    "load_json_config",
    body<load_json_config>,
    {Param{"file_path", Rule::str, "str"}, Param{"required_keys", Rule::list, "list[str]", Default::none()}},
    Returns{},
    "讀取 JSON 設定檔，支援 // 註解，並可檢查必要的 key。\n\n"
    "    每行從字串之外的 // 起到行尾視為註解（字串內的 // 保留，例如網址）。\n"
    "    失敗時記錄錯誤並回傳 None。提供 required_keys 時依序回傳各 key 的值（tuple），\n"
    "    方便直接拆解：\n"
    "        host, port = load_json_config(\"config.json\", required_keys=[\"host\", \"port\"])"};

}  // namespace quillkit::cargohold
