// Text content: local load and save, load-or-download, the registry download and code extraction.
#include "cargohold.hpp"

#include "../support/atomic_file.hpp"

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

nb::object load_or_download_content(Call&, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("load_or_download_content");
}

nb::object download_and_save_from_registry(Call&, nb::handle, nb::handle, nb::handle, nb::handle,
                                           nb::handle, nb::handle) {
    not_built_yet("download_and_save_from_registry");
}

nb::object extract_and_save_code(Call&, nb::handle, nb::handle, nb::handle, nb::handle,
                                 nb::handle, nb::handle) {
    not_built_yet("extract_and_save_code");
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
