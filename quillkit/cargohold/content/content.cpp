// Text content: local load and save, load-or-download, the registry download and code extraction.
#include "../cargohold.hpp"

#include "../../support/atomic_file.hpp"
#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/text_methods.hpp"
#include "code_fences.hpp"

namespace quillkit::cargohold {

namespace {

// ---------------------------------------------------------------------------------------------
// Local files

// The whole text of a regular file; an empty text when there is none or it cannot be read.
nb::object load_local_file_content(Call& c, nb::handle file_path, nb::str label, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    const stand_ins::NativePath native = stand_ins::native_path(c, file_path, stand_ins::kReadText);
    nb::object path = native.text;  // what the messages show: str(Path(file_path))
    if (native) {
        if (native.kind != filesystem::Kind::regular_file) return nb::borrow(literal(""));
    } else {
        path = call(c.global(names::Path), {file_path});
        if (!truthy(call_method(path, names::is_file))) return nb::borrow(literal(""));
    }
    try {
        nb::object content =
            native ? stand_ins::read_text(path)
                   : call_method(path, names::read_text, {}, {{names::encoding, names::utf_8.handle()}});
        log_to(chosen, names::info, concat({"✅ 已成功載入", label, "：", path}));
        return content;
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(chosen, names::error, concat({"❌ 讀取", label, "失敗 ", path, ": ", error.value()}));
        return nb::borrow(literal(""));
    }
}

constexpr Function kLoadLocalFileContent{
    "load_local_file_content",
    body<load_local_file_content>,
    {Param{"file_path"}, kLabel, kLogger},
    Returns{"str", Rule::str},
    "讀取文字檔（UTF-8）的完整內容。\n\n"
    "    檔案不存在或不是一般檔案時回傳空字串且不記錄任何訊息；讀取失敗時記錄錯誤並回傳空字串。\n"
    "    logger 未提供時使用模組 logger。\n\n"
    "    範例：\n"
    "        prompt = load_local_file_content(\"prompts/system.md\", label=\"系統提示\")"};
const Published kPublishLoadLocalFileContent{kLoadLocalFileContent, 2};

// Writes the text whole (a failure keeps the previous file) and reports (success, message).
nb::object save_local_file_content(Call& c, nb::handle file_path, nb::str content, nb::str label,
                                   nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object path = call(c.global(names::Path), {file_path});
    nb::object message;
    bool saved;
    try {
        stand_ins::make_directories(c, attr(path, names::parent));
        replace_file_text(path, content);
        message = concat({"🎉 成功產出 ", label, "：", path});
        log_to(chosen, names::info, message);
        saved = true;
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        message = concat({"❌ 儲存", label, "失敗 ", path, ": ", error.value()});
        log_to(chosen, names::error, message);
        saved = false;
    }
    return pair(saved ? Py_True : Py_False, message);
}

constexpr Function kSaveLocalFileContent{
    "save_local_file_content",
    body<save_local_file_content>,
    {Param{"file_path"}, Param{"content", Rule::str, "str"}, kLabel, kLogger},
    Returns{"tuple[bool, str]"},
    "將文字以 UTF-8 寫入檔案，必要時建立上層目錄，回傳 (是否成功, 訊息)。\n\n"
    "    內容先寫入同目錄的暫存檔再取代原檔，寫入失敗時原檔保持不變。\n\n"
    "    範例：\n"
    "        ok, msg = save_local_file_content(\"out/report.md\", text, label=\"報告\")"};
const Published kPublishSaveLocalFileContent{kSaveLocalFileContent, 3};

// ---------------------------------------------------------------------------------------------
// Load-or-download, the registry download, code extraction

// `save_local_file_content(path, content, label=label, logger=logger)` through the module global.
nb::object save_through_global(Call& c, nb::handle path, nb::handle content, nb::handle label,
                               nb::handle logger) {
    return call(c.global(names::save_local_file_content), {path, content},
                {{names::label, label}, {names::logger, logger}});
}

// The local content, else the downloaded content (kept locally for next time), else "".
nb::object load_or_download_content(Call& c, nb::handle file_path, nb::str url, nb::str label,
                                    nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object content = call(c.global(names::load_local_file_content), {file_path},
                              {{names::label, label}, {names::logger, chosen}});
    if (truthy(content)) return content;
    if (truthy(url)) {
        log_to(chosen, names::info, concat({"⚠️ 找不到", label, "檔案：", file_path, "，嘗試從網路下載..."}));
        content = call(c.global(names::download_github_content), {url});
        if (truthy(content)) save_through_global(c, file_path, content, label, chosen);
    }
    return content;
}

constexpr Function kLoadOrDownloadContent{
    "load_or_download_content",
    body<load_or_download_content>,
    {Param{"file_path"}, Param{"url", Rule::str, "str", Default::text("")}, kLabel, kLogger},
    Returns{"str", Rule::str},
    "先讀取本地檔案；內容為空且提供了網址時，從 GitHub 下載並存回本地檔案。\n\n"
    "    範例：\n"
    "        text = load_or_download_content(\"prompts/system.md\", url, label=\"系統提示\")"};
const Published kPublishLoadOrDownloadContent{kLoadOrDownloadContent, 4};

// `[entry[key] for entry in registry]`
nb::object registry_values(nb::handle registry, const Name& key) {
    nb::object values = require(PyList_New(0));
    for (Py_ssize_t index = 0; index < list_size(registry); ++index) {
        nb::object entry = nb::borrow(list_item(registry, index));
        require_status(PyList_Append(values.ptr(), require(PyObject_GetItem(entry.ptr(), key.ptr())).ptr()));
    }
    return values;
}

// The first registry entry, in registry order, whose "url" equals `address`.
nb::object registry_entry(nb::handle registry, nb::handle address) {
    for (Py_ssize_t index = 0; index < list_size(registry); ++index) {
        nb::object entry = nb::borrow(list_item(registry, index));
        nb::object url = require(PyObject_GetItem(entry.ptr(), names::url.ptr()));
        if (require_status(PyObject_RichCompareBool(url.ptr(), address.ptr(), Py_EQ))) return entry;
    }
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

// Whether a registry file name would put the saved file outside the output directory: an
// absolute name, or one whose normalised form climbs above it.
bool escapes_output_directory(Call& c, nb::handle filename) {
    nb::object os_path = attr(c.global(names::os), names::path);
    if (truthy(call_method(os_path, names::isabs, {filename}))) return true;
    nb::object normalised = to_str(call_method(os_path, names::normpath, {filename}));
    if (require_status(PyObject_RichCompareBool(normalised.ptr(), literal("..").ptr(), Py_EQ))) return true;
    return require_status(
               PyUnicode_Tailmatch(normalised.ptr(), literal("../").ptr(), 0, PY_SSIZE_T_MAX, -1)) == 1;
}

// Every registry item as a (url, display) pair, for the automatic mode.
nb::object all_items(nb::handle registry, nb::handle logger) {
    nb::object selection = require(PyList_New(0));
    for (Py_ssize_t index = 0; index < list_size(registry); ++index) {
        nb::object entry = nb::borrow(list_item(registry, index));
        nb::object url = require(PyObject_GetItem(entry.ptr(), names::url.ptr()));
        nb::object display = require(PyObject_GetItem(entry.ptr(), names::display.ptr()));
        require_status(PyList_Append(selection.ptr(), pair(url, display).ptr()));
    }
    nb::object count = require(PyLong_FromSsize_t(list_size(selection)));
    log_to(logger, names::debug, concat({"🚀 已啟用自動模式，將下載全部 ", count, " 個項目。"}));
    return selection;
}

// The (url, display) pairs the user chooses in the selection dialogue.
nb::object chosen_items(Call& c, nb::handle registry, nb::handle title) {
    nb::object display_names = registry_values(registry, names::display);
    nb::object urls = registry_values(registry, names::url);
    call(attr(c.global(names::click), names::echo), {concat({"\n--- ", title, " ---"})});
    return call(c.global(names::interactive_select_files), {urls, display_names},
                {{names::extension, literal("")}});
}

// Downloads one chosen item into `output` under its registry file name (or the address's last
// component), unless that name would leave the output directory.
void download_item(Call& c, nb::handle registry, nb::handle output, nb::handle item, nb::handle label_prefix,
                   nb::handle logger) {
    auto [address, display] = unpack_pair(item);
    nb::object entry = registry_entry(registry, address);
    nb::object filename = call_method(entry, names::get, {names::filename.handle()});
    if (!truthy(filename)) {
        filename = attr(call(c.global(names::Path), {address}), names::name);
    } else if (escapes_output_directory(c, filename)) {
        log_to(logger, names::error, concat({"❌ 檔名超出輸出目錄，已略過：", filename}));
        return;
    }
    nb::object save_path = require(PyNumber_TrueDivide(output.ptr(), filename.ptr()));
    log_to(logger, names::info, concat({"📡 正在從網路下載：", display, " ..."}));
    nb::object content = call(c.global(names::download_github_content), {address});
    if (!truthy(content)) return;
    // A display name that is not a text is labelled by its text form, as shown above.
    save_through_global(c, save_path, content, concat({label_prefix, display}), logger);
}

// Downloads the chosen registry items (or all of them) into the output directory.
nb::object download_and_save_from_registry(Call& c, nb::list registry, nb::str output_dir, nb::str title,
                                           nb::str label_prefix, nb::handle logger,
                                           nb::handle auto_download) {
    nb::object chosen = choose_logger(c, logger);
    nb::object selection =
        truthy(auto_download) ? all_items(registry, chosen) : chosen_items(c, registry, title);
    if (!truthy(selection)) {
        log_to(chosen, names::info, literal("⚠️ 已跳過下載流程。"));
        return nb::none();
    }
    nb::object output = call(c.global(names::Path), {output_dir});
    for_each_item(selection,
                  [&](nb::handle item) { download_item(c, registry, output, item, label_prefix, chosen); });
    return nb::none();
}

constexpr Function kDownloadAndSaveFromRegistry{
    "download_and_save_from_registry",
    body<download_and_save_from_registry>,
    {Param{"registry", Rule::list, "list"}, Param{"output_dir", Rule::str, "str"},
     Param{"title", Rule::str, "str", Default::text("請選擇下載項目")},
     Param{"label_prefix", Rule::str, "str", Default::text("")}, kLogger,
     Param{"auto_download", Rule::any, "bool", Default::boolean(false)}},
    Returns{},
    "依登錄清單（每項含 \"display\"、\"url\"，可選 \"filename\"）讓使用者選擇或全部下載，\n"
    "    並存入輸出目錄。\n\n"
    "    範例：\n"
    "        download_and_save_from_registry(registry, \"docs\", auto_download=True)"};
const Published kPublishDownloadAndSaveFromRegistry{kDownloadAndSaveFromRegistry, 10};

// The block searched for; first_fenced_block finds the same one in linear time.
const char* const kFencePattern = "```(?:python|bash|yaml)?\\n(.*?)\\n```";

// Saves the first fenced code block of a tool's answer (or the whole answer) and reports
// (success, message).
nb::object extract_and_save_code(Call& c, nb::str text, nb::handle file_path, nb::str label,
                                 nb::str error_msg, nb::str fail_msg, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    auto nothing_to_save = [&] {
        if (PyUnicode_GET_LENGTH(error_msg.ptr()) > 0) log_to(chosen, names::error, error_msg);
        return pair(Py_False, fail_msg);
    };
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return nothing_to_save();

    nb::object block;
    if (stand_ins::re_search(c)) {
        block = first_fenced_block(text);
    } else {
        nb::object re = c.global(names::re);
        nb::object match =
            call_method(re, names::search, {literal(kFencePattern), text, attr(re, names::DOTALL)});
        if (truthy(match)) block = call_method(match, names::group, {require(PyLong_FromLong(1))});
    }
    nb::object code = stand_ins::strip(block.is_valid() ? nb::handle(block) : text);
    if (!truthy(code)) return nothing_to_save();

    auto [saved, message] = unpack_pair(save_through_global(c, file_path, code, label, chosen));
    return pair(truthy(saved) ? Py_True : Py_False, message);
}

constexpr Function kExtractAndSaveCode{
    "extract_and_save_code",
    body<extract_and_save_code>,
    {Param{"text", Rule::str, "str"}, Param{"file_path"}, kLabel,
     Param{"error_msg", Rule::str, "str", Default::text("❌ 無法從 agy 輸出中擷取程式碼。")},
     Param{"fail_msg", Rule::str, "str", Default::text("擷取程式碼失敗")}, kLogger},
    Returns{"tuple[bool, str]"},
    "從工具回覆中擷取第一個程式碼區塊（沒有區塊時取整段文字）並存檔，回傳 (是否成功, 訊息)。\n\n"
    "    範例：\n"
    "        ok, msg = extract_and_save_code(answer, \"out/script.py\", label=\"腳本\")"};
const Published kPublishExtractAndSaveCode{kExtractAndSaveCode, 27};

}  // namespace

}  // namespace quillkit::cargohold
