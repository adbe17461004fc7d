// Moving and removing: force-moving a file with an optional backup, and removing a file or a
// directory tree with one retry for entries that refuse to go because they are read-only.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object force_move_file(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("force_move_file"); }
nb::object remove_directory(Call&, nb::handle) { not_built_yet("remove_directory"); }
nb::object remove_file(Call&, nb::handle) { not_built_yet("remove_file"); }

}  // namespace

const Function kForceMoveFile{
    "force_move_file",
    force_move_file,
    {Param{"src", Rule::any, "str | Path"}, Param{"dest", Rule::any, "str | Path"},
     Param{"backup", Rule::any, "str | Path", Default::none()}},
    Returns{"None"},
    "強制搬移檔案：自動建立目的資料夾，目的地已有檔案時直接取代（不保留原內容）。\n\n"
    "    提供 backup 時，先將來源檔案複製到 backup（保留時間戳記與權限，自動建立資料夾、取代\n"
    "    既有備份）再搬移。來源不存在時記錄錯誤並返回；其他檔案系統錯誤原樣拋出，已完成的步驟\n"
    "    （例如備份）會保留。\n\n"
    "    範例：\n"
    "        force_move_file(\"src.txt\", \"dest/target.txt\", backup=\"bk/old.txt\")"};

const Function kRemoveDirectory{
    "remove_directory",
    remove_directory,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除整個目錄樹，無法刪除的項目會先將權限設為僅擁有者可寫入再重試一次。\n\n"
    "    路徑不存在或不是目錄時不做任何事。重試仍失敗的項目會還原原本的權限；目錄未能完全\n"
    "    移除時記錄警告（含第一個無法克服的錯誤），不會拋出例外。\n\n"
    "    範例：\n"
    "        remove_directory(\"./temp_dir\")"};

const Function kRemoveFile{
    "remove_file",
    remove_file,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除單一檔案；權限不足時先將權限設為僅擁有者可寫入再重試一次，仍失敗則還原原本的權限\n"
    "    並記錄警告，不會拋出例外。路徑不存在或不是一般檔案時不做任何事。\n\n"
    "    範例：\n"
    "        remove_file(\"./temp_file.txt\")"};

}  // namespace quillkit::cargohold
