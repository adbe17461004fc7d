// Filesystem operations: output paths, path inspection, file-name fields, moving and removing.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object get_unique_path(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("get_unique_path"); }
nb::object setup_output_dir(Call&, nb::handle, nb::handle) { not_built_yet("setup_output_dir"); }
nb::object setup_output_file(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("setup_output_file"); }
Name kPathModule{"path"};
Name kIsDir{"isdir"};
Name kIsFile{"isfile"};

// 0 for a directory, 1 for a regular file (links followed), else None after a warning.
nb::object get_path_type(Call& c, nb::handle path, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object os_path = attr(c.global(globals::os), kPathModule);
    if (truthy(call_method(os_path, kIsDir, {path}))) return require(PyLong_FromLong(0));
    if (truthy(call_method(os_path, kIsFile, {path}))) return require(PyLong_FromLong(1));
    log_to(chosen, names::warning, concat({"⚠️ 路徑不存在或無效：", path}));
    return nb::none();
}
nb::object replace_file_extension(Call&, nb::handle, nb::handle, nb::handle) {
    not_built_yet("replace_file_extension");
}
nb::object extract_filename_info(Call&, nb::handle, nb::handle, nb::handle) {
    not_built_yet("extract_filename_info");
}
nb::object match_filename(Call&, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("match_filename");
}
nb::object force_move_file(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("force_move_file"); }
nb::object remove_directory(Call&, nb::handle) { not_built_yet("remove_directory"); }
nb::object remove_file(Call&, nb::handle) { not_built_yet("remove_file"); }

const Param kLogger{"logger", Rule::any, nullptr, Default::none()};

}  // namespace

const Function kGetUniquePath{
    "get_unique_path",
    get_unique_path,
    {Param{"directory", Rule::any, "str | Path"}, Param{"base_name", Rule::str, "str"},
     Param{"extension", Rule::str, "str"}},
    Returns{"Path"},
    "在目錄中找出不與既有項目衝突的檔案路徑：base_name + extension，已存在時依序嘗試\n"
    "    base_name_1、base_name_2……\n\n"
    "    範例：\n"
    "        path = get_unique_path(\"out\", \"report\", \"csv\")"};

const Function kSetupOutputDir{
    "setup_output_dir",
    setup_output_dir,
    {Param{"dir_path", Rule::str, "str"}, kLogger},
    Returns{},
    "確保輸出目錄存在（含上層目錄）；提供 logger 時記錄目錄已就緒或已建立。\n\n"
    "    範例：\n"
    "        setup_output_dir(\"out\", logger=log)"};

const Function kSetupOutputFile{
    "setup_output_file",
    setup_output_file,
    {Param{"out_dir", Rule::str, "str"}, Param{"out_file", Rule::str, "str"}, kLogger},
    Returns{"Path"},
    "確保輸出檔案所在的目錄存在，回傳輸出檔案的路徑。\n\n"
    "    範例：\n"
    "        path = setup_output_file(\"out\", \"result.txt\", logger=log)"};

const Function kGetPathType{
    "get_path_type",
    get_path_type,
    {Param{"path"}, kLogger},
    Returns{},
    "判斷路徑種類：目錄回傳 0，一般檔案回傳 1，其他情況記錄警告並回傳 None。\n\n"
    "    範例：\n"
    "        if get_path_type(\"config.json\") == 1: ..."};

const Function kReplaceFileExtension{
    "replace_file_extension",
    replace_file_extension,
    {Param{"fn", Rule::str, "str"}, Param{"orgExt", Rule::str, "str"}, Param{"newExt", Rule::str, "str"}},
    Returns{"str", Rule::str},
    "將檔名的最後一個副檔名換成 newExt（自動補上開頭的 \".\"）。\n\n"
    "    範例：\n"
    "        replace_file_extension(\"a/b.txt\", \".txt\", \"md\")  # 'a/b.md'"};

const Function kExtractFilenameInfo{
    "extract_filename_info",
    extract_filename_info,
    {Param{"fileName", Rule::str, "str"}, Param{"partNumber", Rule::tuple, "tuple", Default::tuple(0, 1)},
     Param{"sp", Rule::str, "str", Default::text("_")}},
    Returns{"tuple"},
    "以分隔字元切分檔名主幹（不含最後的副檔名），依 partNumber 取出各欄位。\n\n"
    "    範例：\n"
    "        extract_filename_info(\"test_-90.txt\")  # ('test', '-90')"};

const Function kMatchFilename{
    "match_filename",
    match_filename,
    {Param{"filename", Rule::str, "str"}, Param{"prefix", Rule::str, "str", Default::none()},
     Param{"suffix", Rule::str, "str", Default::none()},
     Param{"ignore_case", Rule::any, "bool", Default::boolean(true)}},
    Returns{"bool"},
    "判斷檔名（路徑的最後一段）是否以 prefix 開頭並以 suffix 結尾，預設不分大小寫。\n\n"
    "    範例：\n"
    "        match_filename(\"data/test_file.CSV\", prefix=\"test\", suffix=\".csv\")  # True"};

const Function kForceMoveFile{
    "force_move_file",
    force_move_file,
    {Param{"src", Rule::any, "str | Path"}, Param{"dest", Rule::any, "str | Path"},
     Param{"backup", Rule::any, "str | Path", Default::none()}},
    Returns{"None"},
    "強制搬移檔案：自動建立目的資料夾並取代既有檔案，可先將來源備份到 backup。\n\n"
    "    範例：\n"
    "        force_move_file(\"src.txt\", \"dest/target.txt\", backup=\"bk/old.txt\")"};

const Function kRemoveDirectory{
    "remove_directory",
    remove_directory,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除整個目錄樹，唯讀項目會先改為可寫入再重試；路徑不存在時不做任何事。\n\n"
    "    範例：\n"
    "        remove_directory(\"./temp_dir\")"};

const Function kRemoveFile{
    "remove_file",
    remove_file,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除單一檔案，唯讀檔案會先改為可寫入再重試；路徑不存在時不做任何事。\n\n"
    "    範例：\n"
    "        remove_file(\"./temp_file.txt\")"};

}  // namespace quillkit::cargohold
