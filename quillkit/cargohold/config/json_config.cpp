// JSON configuration with `//` line comments, and the values of required keys.
#include "../cargohold.hpp"

#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/member_test.hpp"
#include "line_comments.hpp"

namespace quillkit::cargohold {

namespace {

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
const Published kPublishLoadJsonConfig{kLoadJsonConfig, 26};

}  // namespace

}  // namespace quillkit::cargohold
