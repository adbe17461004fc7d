// YAML configuration: files and texts read by safe loading, and templates written whole.
#include "../cargohold.hpp"

#include "../../support/atomic_file.hpp"
#include "../stand_ins/file_queries.hpp"
#include "text_file_reading.hpp"

namespace quillkit::cargohold {

namespace {

const char* const kYamlMissing = "❌ 缺少 Python 套件 'PyYAML'。請執行：pip install pyyaml";

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
    if (native) return native.kind == filesystem::Kind::regular_file;
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

constexpr Function kLoadYamlConfig{"load_yaml_config",
                                   body<load_yaml_config>,
                                   {Param{"file_path", Rule::str, "str"}, kLogger},
                                   Returns{},
                                   "以 yaml.safe_load 讀取 YAML 設定檔；失敗時記錄錯誤並回傳 None。\n\n"
                                   "    範例：\n"
                                   "        config = load_yaml_config(\"config.yaml\")"};
const Published kPublishLoadYamlConfig{kLoadYamlConfig, 16};

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

constexpr Function kLoadYamlString{"load_yaml_string",
                                   body<load_yaml_string>,
                                   {Param{"yaml_content", Rule::str, "str"},
                                    Param{"label", Rule::str, "str", Default::text("YAML 內容")}, kLogger},
                                   Returns{},
                                   "以 yaml.safe_load 解析 YAML 文字；失敗時記錄錯誤並回傳 None。\n\n"
                                   "    範例：\n"
                                   "        defaults = load_yaml_string(DEFAULT_YAML, label=\"預設設定\")"};
const Published kPublishLoadYamlString{kLoadYamlString, 19};

// The absolute path of the template written verbatim to `output_file`.
nb::object save_yaml_template(Call& c, nb::str template_content, nb::str output_file, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    // Through a temporary file renamed over the old one, so a failed write keeps the previous
    // template whole. The parent directory must exist already: a template lands where the user
    // asked, never in directories made up for it.
    replace_file_text(output_file, template_content);
    log_to(chosen, names::info, concat({"🎉 成功產出 YAML 範本：", output_file}));
    return call_method(attr(c.global(names::os), names::path), names::abspath, {output_file});
}

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
const Published kPublishSaveYamlTemplate{kSaveYamlTemplate, 15};

}  // namespace

}  // namespace quillkit::cargohold
