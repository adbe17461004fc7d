// Finding, listing and choosing files: discovery, directory listing, selection dialogues and
// prompts.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object find_files_with_extensions(Call&, nb::handle, nb::handle, nb::handle, nb::handle,
                                      nb::handle, nb::handle, nb::handle) {
    not_built_yet("find_files_with_extensions");
}
nb::object get_directory_list(Call&, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("get_directory_list");
}
nb::object interactive_select_files(Call&, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("interactive_select_files");
}
nb::object scan_and_select_files(Call&, nb::handle, nb::handle, nb::handle, nb::handle,
                                 nb::handle, nb::handle, nb::handle) {
    not_built_yet("scan_and_select_files");
}
nb::object select_option(Call&, nb::handle, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("select_option");
}
nb::object get_user_input_via_editor(Call&, nb::handle, nb::handle, nb::handle) {
    not_built_yet("get_user_input_via_editor");
}

const Param kLogger{"logger", Rule::any, nullptr, Default::none()};

}  // namespace

const Function kFindFilesWithExtensions{
    "find_files_with_extensions",
    find_files_with_extensions,
    {Param{"in_path"}, Param{"extensions"}, Param{"recursive", Rule::any, nullptr, Default::boolean(false)},
     Param{"sort_datecode", Rule::any, nullptr, Default::boolean(false)},
     Param{"exclude_paths", Rule::any, nullptr, Default::none()},
     Param{"prefix", Rule::any, nullptr, Default::none()}, kLogger},
    Returns{},
    "依副檔名尋找檔案，回傳 (路徑清單, 檔名主幹清單)；可遞迴、排除路徑、限定檔名開頭，\n"
    "    並可依檔名中的日期碼排序。\n\n"
    "    範例：\n"
    "        files, names = find_files_with_extensions(\"src\", [\".py\"], recursive=True)"};

const Function kGetDirectoryList{
    "get_directory_list",
    get_directory_list,
    {Param{"root_path", Rule::any, "str | Path", Default::text(".")},
     Param{"exclude_prefixes", Rule::tuple, "tuple", Default::tuple(".", "_")},
     Param{"exclude_names", Rule::tuple, "tuple", Default::tuple("build", "dist")},
     Param{"exclude_suffixes", Rule::tuple, "tuple", Default::tuple()}},
    Returns{"tuple[list[str], list[str]]"},
    "列出目錄下一層的子目錄，回傳 (路徑清單, 名稱清單)，可依開頭、名稱與結尾排除。\n\n"
    "    範例：\n"
    "        paths, names = get_directory_list(\"src\")"};

const Function kInteractiveSelectFiles{
    "interactive_select_files",
    interactive_select_files,
    {Param{"files", Rule::list, "list"}, Param{"names", Rule::list, "list"},
     Param{"extension", Rule::str, "str", Default::text(".py")},
     Param{"exclude_names", Rule::list, "list", Default::none()}},
    Returns{"list", Rule::list},
    "在終端機列出編號清單，讓使用者以編號（例如 1,2,5）或 'all' 選擇檔案，\n"
    "    回傳 (路徑, 名稱) 的清單。\n\n"
    "    範例：\n"
    "        chosen = interactive_select_files(files, names, extension=\".md\")"};

const Function kScanAndSelectFiles{
    "scan_and_select_files",
    scan_and_select_files,
    {Param{"directory"}, Param{"extensions"}, Param{"recursive", Rule::any, nullptr, Default::boolean(true)},
     Param{"exclude_names", Rule::any, nullptr, Default::none()},
     Param{"exclude_paths", Rule::any, nullptr, Default::none()},
     Param{"label", Rule::any, nullptr, Default::text("檔案")}, kLogger},
    Returns{"list", Rule::list},
    "掃描資料夾中符合副檔名的檔案，並讓使用者在終端機選擇，回傳 (路徑, 名稱) 的清單。\n\n"
    "    範例：\n"
    "        chosen = scan_and_select_files(\"docs\", [\".md\"], label=\"文件\")"};

const Function kSelectOption{
    "select_option",
    select_option,
    {Param{"prompt_text", Rule::str, "str"}, Param{"option_array", Rule::list, "list[str]"},
     Param{"default", Rule::str, "str", Default::none()}, Param{"title", Rule::str, "str", Default::none()},
     Param{"allow_all", Rule::any, "bool", Default::boolean(false)}},
    Returns{"str", Rule::str},
    "顯示編號選單並讓使用者輸入編號（allow_all 時也可輸入 'all'），回傳選到的選項。\n\n"
    "    範例：\n"
    "        mode = select_option(\"請選擇模式\", [\"快速\", \"完整\"], default=\"1\")"};

const Function kGetUserInputViaEditor{
    "get_user_input_via_editor",
    get_user_input_via_editor,
    {Param{"marker", Rule::str, "str"}, Param{"label", Rule::str, "str", Default::text("輸入內容")}, kLogger},
    Returns{"str", Rule::str},
    "開啟文字編輯器讓使用者輸入內容，回傳移除 marker 並去除前後空白後的文字；\n"
    "    未存檔就關閉時回傳空字串。\n\n"
    "    範例：\n"
    "        text = get_user_input_via_editor(\"# 請在下方輸入內容\")"};

}  // namespace quillkit::cargohold
