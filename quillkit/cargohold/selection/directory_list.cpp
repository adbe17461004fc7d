// The directory list (get_directory_list): the immediate subdirectories of one directory, in the
// order the system lists them, without those ruled out by name.
#include "../cargohold.hpp"
#include "../filesystem/directory_reads.hpp"
#include "../filesystem/file_kinds.hpp"
#include "../filesystem/name_encoding.hpp"
#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/member_test.hpp"

#include <cerrno>

namespace quillkit::cargohold {

namespace {

// `entry.is_dir()` for an entry of `Path(root).iterdir()` (named prefix + name): what its stat
// said, or, where that failed, what pathlib's is_dir does with the error on this release.
bool is_listed_directory(Call& c, const filesystem::Entry& entry, nb::handle prefix, nb::handle name) {
    if (!entry.kind.stat_error) return entry.kind.is_directory;
    switch (stand_ins::stat_failure(c, entry.kind.stat_error)) {
        case stand_ins::StatFailure::answers_false:
            return false;
        case stand_ins::StatFailure::raises:
            raise_os_error(entry.kind.stat_error, concat({prefix, name}));
        case stand_ins::StatFailure::unknown:
            break;
    }
    nb::object path = call(c.global(names::Path), {concat({prefix, name})});
    return truthy(call_method(path, names::is_dir));
}

// (paths, names) of the subdirectories of `root_path` that no rule excludes.
nb::object get_directory_list(Call& c, nb::handle root_path, nb::tuple exclude_prefixes,
                              nb::tuple exclude_names, nb::tuple exclude_suffixes) {
    nb::object root_text = to_str(call(c.global(names::Path), {root_path}));
    nb::object paths = require(PyList_New(0));
    nb::object names = require(PyList_New(0));
    const std::optional<std::string> root_bytes = filesystem::encode(root_text);
    if (!root_bytes || filesystem::kind_of(root_text) != filesystem::Kind::directory) {
        log_to(c.global(names::log), names::warning, concat({"⚠️ 指定的目錄不存在或非資料夾：", root_path}));
        return pair(paths, names);
    }
    std::vector<filesystem::Entry> entries;
    int error = 0;
    const stand_ins::LibraryRules* rules = stand_ins::library_rules(c);
    const filesystem::Probe probe =
        rules && rules->queries_raise ? filesystem::Probe::stat_first : filesystem::Probe::stat_directories;
    const bool listed =
        without_gil([&] { return filesystem::read_directory(*root_bytes, probe, entries, error); });
    if (!listed) raise_os_error(error, root_text);

    nb::object prefix = filesystem::child_prefix(root_text);
    stand_ins::MemberTest excluded_prefix(exclude_prefixes, stand_ins::MemberTest::Match::prefix);
    stand_ins::MemberTest excluded_name(exclude_names, stand_ins::MemberTest::Match::equal);
    stand_ins::MemberTest excluded_suffix(exclude_suffixes, stand_ins::MemberTest::Match::suffix);
    for (const filesystem::Entry& entry : entries) {
        nb::object name = filesystem::decode(entry.name);
        if (!is_listed_directory(c, entry, prefix, name)) continue;
        if (excluded_prefix.matches(name) || excluded_name.matches(name) || excluded_suffix.matches(name))
            continue;
        nb::object path = require(PyUnicode_Concat(prefix.ptr(), name.ptr()));
        require_status(PyList_Append(paths.ptr(), path.ptr()));
        require_status(PyList_Append(names.ptr(), name.ptr()));
    }
    return pair(paths, names);
}

constexpr Function kGetDirectoryList{
    "get_directory_list",
    body<get_directory_list>,
    {Param{"root_path", Rule::any, "str | Path", Default::text(".")},
     Param{"exclude_prefixes", Rule::tuple, "tuple", Default::tuple(".", "_")},
     Param{"exclude_names", Rule::tuple, "tuple", Default::tuple("build", "dist")},
     Param{"exclude_suffixes", Rule::tuple, "tuple", Default::tuple()}},
    Returns{"tuple[list[str], list[str]]"},
    "列出目錄下一層的子目錄（含指向資料夾的連結），回傳 (路徑清單, 名稱清單)，順序與系統列出\n"
    "    的順序相同。名稱以 exclude_prefixes 開頭、等於 exclude_names 或以 exclude_suffixes\n"
    "    結尾者略過（區分大小寫，空 tuple 表示不套用該規則）。\n\n"
    "    範例：\n"
    "        paths, names = get_directory_list(\"src\", exclude_suffixes=(\".egg-info\",))"};
const Published kPublishGetDirectoryList{kGetDirectoryList, 18};

}  // namespace

}  // namespace quillkit::cargohold
