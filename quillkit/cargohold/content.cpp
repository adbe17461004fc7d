// Text content: local load and save, load-or-download, the registry download and code extraction.
#include "cargohold.hpp"

#include "../support/atomic_file.hpp"
#include "fences.hpp"

namespace quillkit::cargohold {

namespace {

Name kIsFile{"is_file"};
Name kReadText{"read_text"};
Name kParent{"parent"};
Name kMkdir{"mkdir"};
Name kParents{"parents"};
Name kExistOk{"exist_ok"};

// ---------------------------------------------------------------------------------------------
// Local files

// The whole text of a regular file; an empty text when there is none or it cannot be read.
nb::object load_local_file_content(Call& c, nb::handle file_path, nb::handle label,
                                   nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object path = call(c.global(globals::path), {file_path});
    if (!truthy(call_method(path, kIsFile))) return nb::borrow(literal(""));
    try {
        nb::object content = call_method(path, kReadText, {}, {{names::encoding, names::utf_8.handle()}});
        log_to(chosen, names::info, concat({"✅ 已成功載入", label, "：", path}));
        return content;
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(chosen, names::error,
               concat({"❌ 讀取", label, "失敗 ", path, ": ", error.value()}));
        return nb::borrow(literal(""));
    }
}

// Writes the text whole (a failure keeps the previous file) and reports (success, message).
nb::object save_local_file_content(Call& c, nb::handle file_path, nb::handle content,
                                   nb::handle label, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object path = call(c.global(globals::path), {file_path});
    nb::object message;
    bool saved;
    try {
        call_method(attr(path, kParent), kMkdir, {}, {{kParents, Py_True}, {kExistOk, Py_True}});
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
    return require(PyTuple_Pack(2, saved ? Py_True : Py_False, message.ptr()));
}

// ---------------------------------------------------------------------------------------------
// Load-or-download, the registry download, code extraction

Name kLabelKeyword{"label"};
Name kLoggerKeyword{"logger"};
Name kExtension{"extension"};
Name kUrlKey{"url"};
Name kDisplayKey{"display"};
Name kFilenameKey{"filename"};
Name kGet{"get"};
Name kName{"name"};
Name kSearch{"search"};
Name kGroup{"group"};
Name kStrip{"strip"};
Name kDotall{"DOTALL"};
Name kIsAbs{"isabs"};
Name kNormpath{"normpath"};
Name kPathModule{"path"};
Name kLoadLocal{"load_local_file_content"};
Name kSaveLocal{"save_local_file_content"};
Name kDownload{"download_github_content"};
Name kInteractiveSelect{"interactive_select_files"};

// `save_local_file_content(path, content, label=label, logger=logger)` through the module global.
nb::object save_through_global(Call& c, nb::handle path, nb::handle content, nb::handle label,
                               nb::handle logger) {
    return call(c.global(kSaveLocal), {path, content}, {{kLabelKeyword, label}, {kLoggerKeyword, logger}});
}

// The local content, else the downloaded content (kept locally for next time), else "".
nb::object load_or_download_content(Call& c, nb::handle file_path, nb::handle url,
                                    nb::handle label, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object content = call(c.global(kLoadLocal), {file_path},
                              {{kLabelKeyword, label}, {kLoggerKeyword, chosen}});
    if (truthy(content)) return content;
    if (truthy(url)) {
        log_to(chosen, names::info, concat({"⚠️ 找不到", label, "檔案：", file_path, "，嘗試從網路下載..."}));
        content = call(c.global(kDownload), {url});
        if (truthy(content)) save_through_global(c, file_path, content, label, chosen);
    }
    return content;
}

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
        nb::object url = require(PyObject_GetItem(entry.ptr(), kUrlKey.ptr()));
        if (require_status(PyObject_RichCompareBool(url.ptr(), address.ptr(), Py_EQ))) return entry;
    }
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

// Whether a registry file name would put the saved file outside the output directory: an
// absolute name, or one whose normalised form climbs above it.
bool escapes_output_directory(Call& c, nb::handle filename) {
    nb::object os_path = attr(c.global(globals::os), kPathModule);
    if (truthy(call_method(os_path, kIsAbs, {filename}))) return true;
    nb::object normalised = to_str(call_method(os_path, kNormpath, {filename}));
    if (require_status(PyObject_RichCompareBool(normalised.ptr(), literal("..").ptr(), Py_EQ))) return true;
    const Py_ssize_t climbs =
        PyUnicode_Tailmatch(normalised.ptr(), literal("../").ptr(), 0, PY_SSIZE_T_MAX, -1);
    return require_status(static_cast<int>(climbs)) == 1;
}

// Downloads the chosen registry items (or all of them) into the output directory.
nb::object download_and_save_from_registry(Call& c, nb::handle registry, nb::handle output_dir,
                                           nb::handle title, nb::handle label_prefix,
                                           nb::handle logger, nb::handle auto_download) {
    nb::object chosen = choose_logger(c, logger);
    nb::object selection;
    if (truthy(auto_download)) {
        selection = require(PyList_New(0));
        for (Py_ssize_t index = 0; index < list_size(registry); ++index) {
            nb::object entry = nb::borrow(list_item(registry, index));
            nb::object url = require(PyObject_GetItem(entry.ptr(), kUrlKey.ptr()));
            nb::object display = require(PyObject_GetItem(entry.ptr(), kDisplayKey.ptr()));
            require_status(PyList_Append(selection.ptr(), require(PyTuple_Pack(2, url.ptr(), display.ptr())).ptr()));
        }
        nb::object count = require(PyLong_FromSsize_t(list_size(selection)));
        log_to(chosen, names::debug, concat({"🚀 已啟用自動模式，將下載全部 ", count, " 個項目。"}));
    } else {
        nb::object display_names = registry_values(registry, kDisplayKey);
        nb::object urls = registry_values(registry, kUrlKey);
        static Name echo{"echo"};
        call(attr(c.global(globals::click), echo), {concat({"\n--- ", title, " ---"})});
        selection = call(c.global(kInteractiveSelect), {urls, display_names}, {{kExtension, literal("")}});
    }
    if (!truthy(selection)) {
        log_to(chosen, names::info, literal("⚠️ 已跳過下載流程。"));
        return nb::none();
    }

    nb::object output = call(c.global(globals::path), {output_dir});
    nb::object items = require(PyObject_GetIter(selection.ptr()));
    while (nb::object item = nb::steal(PyIter_Next(items.ptr()))) {
        auto [address, display] = unpack_pair(item);
        nb::object entry = registry_entry(registry, address);
        nb::object filename = call_method(entry, kGet, {kFilenameKey.handle()});
        if (!truthy(filename)) {
            filename = attr(call(c.global(globals::path), {address}), kName);
        } else if (escapes_output_directory(c, filename)) {
            log_to(chosen, names::error, concat({"❌ 檔名超出輸出目錄，已略過：", filename}));
            continue;
        }
        nb::object save_path = require(PyNumber_TrueDivide(output.ptr(), filename.ptr()));
        log_to(chosen, names::info, concat({"📡 正在從網路下載：", display, " ..."}));
        nb::object content = call(c.global(kDownload), {address});
        if (truthy(content)) {
            // A display name that is not a text is labelled by its text form, as shown above.
            nb::object label = concat({label_prefix, display});
            save_through_global(c, save_path, content, label, chosen);
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
}

// The block searched for; first_fenced_block finds the same one in linear time.
const char* const kFencePattern = "```(?:python|bash|yaml)?\\n(.*?)\\n```";

// Saves the first fenced code block of a tool's answer (or the whole answer) and reports
// (success, message).
nb::object extract_and_save_code(Call& c, nb::handle text, nb::handle file_path, nb::handle label,
                                 nb::handle error_msg, nb::handle fail_msg, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    auto nothing_to_save = [&] {
        if (PyUnicode_GET_LENGTH(error_msg.ptr()) > 0) log_to(chosen, names::error, error_msg);
        return require(PyTuple_Pack(2, Py_False, fail_msg.ptr()));
    };
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return nothing_to_save();

    nb::object block;
    if (standard_re_search(c)) {
        block = first_fenced_block(text);
    } else {
        nb::object re = c.global(globals::re);
        nb::object match = call_method(re, kSearch, {literal(kFencePattern), text, attr(re, kDotall)});
        if (truthy(match)) block = call_method(match, kGroup, {require(PyLong_FromLong(1))});
    }
    nb::object code = call_method(block.is_valid() ? nb::handle(block) : text, kStrip);
    if (!truthy(code)) return nothing_to_save();

    auto [saved, message] = unpack_pair(save_through_global(c, file_path, code, label, chosen));
    return require(PyTuple_Pack(2, truthy(saved) ? Py_True : Py_False, message.ptr()));
}

const Param kLabel{"label", Rule::str, "str", Default::text("檔案")};
const Param kLogger{"logger", Rule::any, nullptr, Default::none()};

}  // namespace

const Function kLoadLocalFileContent{
    "load_local_file_content",
    load_local_file_content,
    {Param{"file_path"}, kLabel, kLogger},
    Returns{"str", Rule::str},
    "讀取文字檔（UTF-8）的完整內容。\n\n"
    "    檔案不存在或不是一般檔案時回傳空字串且不記錄任何訊息；讀取失敗時記錄錯誤並回傳空字串。\n"
    "    logger 未提供時使用模組 logger。\n\n"
    "    範例：\n"
    "        prompt = load_local_file_content(\"prompts/system.md\", label=\"系統提示\")"};

const Function kSaveLocalFileContent{
    "save_local_file_content",
    save_local_file_content,
    {Param{"file_path"}, Param{"content", Rule::str, "str"}, kLabel, kLogger},
    Returns{"tuple[bool, str]"},
    "將文字以 UTF-8 寫入檔案，必要時建立上層目錄，回傳 (是否成功, 訊息)。\n\n"
    "    內容先寫入同目錄的暫存檔再取代原檔，寫入失敗時原檔保持不變。\n\n"
    "    範例：\n"
    "        ok, msg = save_local_file_content(\"out/report.md\", text, label=\"報告\")"};

const Function kLoadOrDownloadContent{
    "load_or_download_content",
    load_or_download_content,
    {Param{"file_path"}, Param{"url", Rule::str, "str", Default::text("")}, kLabel, kLogger},
    Returns{"str", Rule::str},
    "先讀取本地檔案；內容為空且提供了網址時，從 GitHub 下載並存回本地檔案。\n\n"
    "    範例：\n"
    "        text = load_or_download_content(\"prompts/system.md\", url, label=\"系統提示\")"};

const Function kDownloadAndSaveFromRegistry{
    "download_and_save_from_registry",
    download_and_save_from_registry,
    {Param{"registry", Rule::list, "list"}, Param{"output_dir", Rule::str, "str"},
     Param{"title", Rule::str, "str", Default::text("請選擇下載項目")},
     Param{"label_prefix", Rule::str, "str", Default::text("")}, kLogger,
     Param{"auto_download", Rule::any, "bool", Default::boolean(false)}},
    Returns{},
    "依登錄清單（每項含 \"display\"、\"url\"，可選 \"filename\"）讓使用者選擇或全部下載，\n"
    "    並存入輸出目錄。\n\n"
    "    範例：\n"
    "        download_and_save_from_registry(registry, \"docs\", auto_download=True)"};

const Function kExtractAndSaveCode{
    "extract_and_save_code",
    extract_and_save_code,
    {Param{"text", Rule::str, "str"}, Param{"file_path"}, kLabel,
     Param{"error_msg", Rule::str, "str", Default::text("❌ 無法從 agy 輸出中擷取程式碼。")},
     Param{"fail_msg", Rule::str, "str", Default::text("擷取程式碼失敗")}, kLogger},
    Returns{"tuple[bool, str]"},
    "從工具回覆中擷取第一個程式碼區塊（沒有區塊時取整段文字）並存檔，回傳 (是否成功, 訊息)。\n\n"
    "    範例：\n"
    "        ok, msg = extract_and_save_code(answer, \"out/script.py\", label=\"腳本\")"};

}  // namespace quillkit::cargohold
