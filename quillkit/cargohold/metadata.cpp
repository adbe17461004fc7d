// Package metadata: name and version from the setup script or the installed distribution, and
// the command name of the console entry point.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object get_package_name_version(Call&) { not_built_yet("get_package_name_version"); }
nb::object get_package_version(Call&, nb::handle) { not_built_yet("get_package_version"); }
nb::object get_cli_name(Call&, nb::handle, nb::handle) { not_built_yet("get_cli_name"); }

}  // namespace

const Function kGetPackageNameVersion{
    "get_package_name_version",
    get_package_name_version,
    {},
    Returns{"tuple"},
    "從 setup.py（先找目前工作目錄，再找套件目錄旁）讀取套件名稱與版本，找不到時為 \"unknown\"。\n\n"
    "    範例：\n"
    "        name, ver = get_package_name_version()"};

const Function kGetPackageVersion{
    "get_package_version",
    get_package_version,
    {Param{"package_name", Rule::str, "str"}},
    Returns{"str", Rule::str},
    "由已安裝套件的中繼資料取得版本；未安裝時回傳 \"unknown\"。\n\n"
    "    範例：\n"
    "        get_package_version(\"quillkit\")"};

const Function kGetCliName{
    "get_cli_name",
    get_cli_name,
    {Param{"setup_file_path", Rule::any, "str | Path", Default::text("setup.py")},
     Param{"default", Rule::str, "str", Default::text("quill-cli")}},
    Returns{"str", Rule::str},
    "從 setup.py 的 console entry point（指向 cli:main）讀取指令名稱；找不到時回傳 default。\n\n"
    "    範例：\n"
    "        get_cli_name()  # 例如 'quill-cli'"};

}  // namespace quillkit::cargohold
