// File-name fields and matching: pure text rules on the last component of a path.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object extract_filename_info(Call&, nb::handle, nb::handle, nb::handle) {
    not_built_yet("extract_filename_info");
}
nb::object match_filename(Call&, nb::handle, nb::handle, nb::handle, nb::handle) {
    not_built_yet("match_filename");
}

}  // namespace

const Function kExtractFilenameInfo{
    "extract_filename_info",
    extract_filename_info,
    {Param{"fileName", Rule::str, "str"}, Param{"partNumber", Rule::tuple, "tuple", Default::tuple(0, 1)},
     Param{"sp", Rule::str, "str", Default::text("_")}},
    Returns{"tuple"},
    "以分隔字元 sp 切分檔名主幹（路徑最後一段，去掉最後一個副檔名），依 partNumber 的順序\n"
    "    取出各欄位，回傳 tuple。\n\n"
    "    fileName 為空字串時拋出 ValueError；partNumber 的索引必須滿足 0 <= 索引 < 欄位數，\n"
    "    否則拋出 IndexError（負數索引也不接受）。\n\n"
    "    範例：\n"
    "        extract_filename_info(\"test_-90.txt\")  # ('test', '-90')\n"
    "        extract_filename_info(\"dir/a_b_c.csv\", (2, 0))  # ('c', 'a')"};

const Function kMatchFilename{
    "match_filename",
    match_filename,
    {Param{"filename", Rule::str, "str"}, Param{"prefix", Rule::str, "str", Default::none()},
     Param{"suffix", Rule::str, "str", Default::none()},
     Param{"ignore_case", Rule::any, "bool", Default::boolean(true)}},
    Returns{"bool"},
    "判斷檔名（路徑的最後一段）是否以 prefix 開頭並以 suffix 結尾，預設不分大小寫。\n\n"
    "    prefix、suffix 為 None 或空字串時視為符合。\n\n"
    "    範例：\n"
    "        match_filename(\"data/test_file.CSV\", prefix=\"test\", suffix=\".csv\")  # True"};

}  // namespace quillkit::cargohold
