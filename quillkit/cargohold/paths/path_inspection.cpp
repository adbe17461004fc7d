// Path inspection: directory-or-file classification and extension replacement.
#include "../cargohold.hpp"
#include "../filesystem/file_kinds.hpp"
#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/path_rules.hpp"

namespace quillkit::cargohold {

namespace {

using filesystem::Kind;

// 0 for a directory, 1 for a regular file (links followed), else None after a warning.
nb::object get_path_type(Call& c, nb::handle path, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    const bool text = PyUnicode_CheckExact(path.ptr()) || PyBytes_CheckExact(path.ptr());
    if (text && stand_ins::os_path_tests(c)) {
        // One stat answers both tests; every error means "neither" to them.
        const Kind kind = filesystem::kind_of(path);
        if (kind == Kind::directory) return path_kind(PathKind::directory);
        if (kind == Kind::regular_file) return path_kind(PathKind::regular_file);
    } else {
        nb::object os_path = attr(c.global(names::os), names::path);
        if (truthy(call_method(os_path, names::isdir, {path}))) return path_kind(PathKind::directory);
        if (truthy(call_method(os_path, names::isfile, {path}))) return path_kind(PathKind::regular_file);
    }
    log_to(chosen, names::warning, concat({"⚠️ 路徑不存在或無效：", path}));
    return nb::none();
}

constexpr Function kGetPathType{"get_path_type",
                                body<get_path_type>,
                                {Param{"path"}, kLogger},
                                Returns{},
                                "判斷路徑種類：目錄回傳 0，一般檔案回傳 1，其他情況記錄警告並回傳 None。\n\n"
                                "    範例：\n"
                                "        if get_path_type(\"config.json\") == 1: ..."};
const Published kPublishGetPathType{kGetPathType, 17};

// `fn` with its real last suffix replaced by `newExt`; `orgExt` is only the caller's belief.
nb::object replace_file_extension(Call& c, nb::str fn, nb::str, nb::str new_ext) {
    nb::object suffix = dotted(new_ext);
    if (stand_ins::path_class(c, stand_ins::kMakePath | stand_ins::kWithSuffix)) {
        nb::object text = stand_ins::with_suffix_text(fn, suffix, stand_ins::library_rules(c)->dots);
        if (text.is_valid()) return text;
    }
    nb::object path = call(c.global(names::Path), {fn});
    return to_str(call_method(path, names::with_suffix, {suffix}));
}

constexpr Function kReplaceFileExtension{
    "replace_file_extension",
    body<replace_file_extension>,
    {Param{"fn", Rule::str, "str"}, Param{"orgExt", Rule::str, "str"}, Param{"newExt", Rule::str, "str"}},
    Returns{"str", Rule::str},
    "將檔名實際的最後一個副檔名換成 newExt（自動補上開頭的 \".\"），orgExt 不影響結果。\n\n"
    "    範例：\n"
    "        replace_file_extension(\"a/b.txt\", \".txt\", \"md\")  # 'a/b.md'"};
const Published kPublishReplaceFileExtension{kReplaceFileExtension, 20};

}  // namespace

}  // namespace quillkit::cargohold
