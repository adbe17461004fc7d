// Output paths: collision-free file names, and output directories and files with their status
// message.
#include "../cargohold.hpp"
#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/path_rules.hpp"

namespace quillkit::cargohold {

namespace {

// `directory / name`, the path facility's join.
nb::object join(nb::handle directory, nb::handle name) {
    return require(PyNumber_TrueDivide(directory.ptr(), name.ptr()));
}

using filesystem::Kind;

// `f"{base_name}_{counter}{suffix}"`: the name tried after `counter` others were taken.
nb::object numbered_name(nb::handle base_name, Py_ssize_t counter, nb::handle suffix) {
    return require(PyUnicode_FromFormat("%U_%zd%U", base_name.ptr(), counter, suffix.ptr()));
}

// The first name free in the directory named by `folder` (its path text), found natively; the
// null object when a test meets an error pathlib may raise, for the caller to ask pathlib.
nb::object unique_path_natively(Call& c, nb::handle folder, nb::str base_name, nb::handle suffix) {
    nb::object name = concat({base_name, suffix});
    for (Py_ssize_t counter = 1;; ++counter) {
        nb::object candidate = stand_ins::joined_path_text(folder, name);
        const Kind kind = stand_ins::pathlib_kind_of(c, candidate);
        if (kind == Kind::missing) return call(c.global(names::Path), {candidate});
        if (kind == Kind::unusual) return nb::object();
        if (PyErr_CheckSignals() < 0) throw nb::python_error();  // the loop has no bound
        name = numbered_name(base_name, counter, suffix);
    }
}

// The first of base_name + extension, base_name_1 + extension, … that does not exist in
// `directory` when it is tested. Nothing is reserved: callers that need exclusivity create the
// file with an exclusive mode.
nb::object get_unique_path(Call& c, nb::handle directory, nb::str base_name, nb::str extension) {
    nb::object suffix = dotted(extension);
    nb::object folder_text = stand_ins::plain_path_text(c, directory, stand_ins::kJoin | stand_ins::kQuery);
    if (folder_text.is_valid()) {
        nb::object found = unique_path_natively(c, folder_text, base_name, suffix);
        if (found.is_valid()) return found;
    }
    nb::object folder = call(c.global(names::Path), {directory});
    nb::object candidate = join(folder, concat({base_name, suffix}));
    for (Py_ssize_t counter = 1; truthy(call_method(candidate, names::exists)); ++counter) {
        candidate = join(folder, numbered_name(base_name, counter, suffix));
    }
    return candidate;
}

constexpr Function kGetUniquePath{
    "get_unique_path",
    body<get_unique_path>,
    {Param{"directory", Rule::any, "str | Path"}, Param{"base_name", Rule::str, "str"},
     Param{"extension", Rule::str, "str"}},
    Returns{"Path"},
    "在目錄中找出不與既有項目衝突的檔案路徑：先試 base_name + extension，已存在時依序嘗試\n"
    "    base_name_1、base_name_2……，回傳第一個不存在的路徑（Path）。\n\n"
    "    extension 未以 \".\" 開頭時自動補上。只在檢查當下保證不存在，不會建立或保留檔案。\n\n"
    "    範例：\n"
    "        path = get_unique_path(\"out\", \"report\", \"csv\")  # out/report.csv、out/report_1.csv……"};
const Published kPublishGetUniquePath{kGetUniquePath, 11};

// Whether the directory was there before the call, with it made (and its parents) when it was
// not; empty when the stand-in leaves the case to pathlib (an entry that is no directory, an
// error pathlib may raise).
std::optional<bool> made_natively(Call& c, nb::str dir_path) {
    switch (stand_ins::pathlib_kind_of(c, stand_ins::path_text(dir_path))) {
        case Kind::directory:
            return true;  // mkdir would fail, then accept it as a directory
        case Kind::missing:
            stand_ins::make_directories(c, call(c.global(names::Path), {dir_path}));
            return false;
        default:
            return std::nullopt;
    }
}

// Creates the directory with its missing parents; a true logger hears whether it was there.
nb::object setup_output_dir(Call& c, nb::str dir_path, nb::handle logger) {
    std::optional<bool> existed;
    if (stand_ins::path_class(c, stand_ins::kMakePath | stand_ins::kQuery | stand_ins::kMakeDir)) {
        existed = made_natively(c, dir_path);
    }
    if (!existed) {
        nb::object path = call(c.global(names::Path), {dir_path});
        existed = truthy(call_method(path, names::exists));
        stand_ins::make_directories(c, path);
    }
    if (truthy(logger)) {
        log_to(logger, names::info, concat({"✅ 輸出目錄", *existed ? "已就緒" : "已建立", "：", dir_path}));
    }
    return nb::none();
}

constexpr Function kSetupOutputDir{
    "setup_output_dir",
    body<setup_output_dir>,
    {Param{"dir_path", Rule::str, "str"}, kLogger},
    Returns{},
    "確保輸出目錄存在（含上層目錄）；提供 logger 時記錄目錄已就緒或已建立。\n\n"
    "    未提供 logger 時不記錄任何訊息；dir_path 是既有檔案或無法建立時，例外原樣拋出。\n\n"
    "    範例：\n"
    "        setup_output_dir(\"out\", logger=log)  # ✅ 輸出目錄已建立：out"};
const Published kPublishSetupOutputDir{kSetupOutputDir, 12};

// The path of `out_file` inside `out_dir` (the current directory when empty), after making sure
// the directory exists.
nb::object setup_output_file(Call& c, nb::str out_dir, nb::str out_file, nb::handle logger) {
    nb::str directory = PyUnicode_GET_LENGTH(out_dir.ptr()) ? out_dir : nb::borrow<nb::str>(literal("."));
    nb::object setup = c.global(names::setup_output_dir);
    if (is_function(setup, kSetupOutputDir)) {
        setup_output_dir(c, directory, logger);  // what calling it would run, without the binding
    } else {
        call(setup, {directory}, {{names::logger, logger}});
    }
    nb::object path, text;
    if (stand_ins::path_class(c, stand_ins::kMakePath | stand_ins::kJoin)) {
        text = stand_ins::joined_path_text(stand_ins::path_text(directory), out_file);
        path = call(c.global(names::Path), {text});
    } else {
        path = join(call(c.global(names::Path), {directory}), out_file);
        text = path;
    }
    if (truthy(logger)) log_to(logger, names::info, concat({"🚀 輸出檔案路徑已就緒：", text}));
    return path;
}

constexpr Function kSetupOutputFile{
    "setup_output_file",
    body<setup_output_file>,
    {Param{"out_dir", Rule::str, "str"}, Param{"out_file", Rule::str, "str"}, kLogger},
    Returns{"Path"},
    "確保輸出檔案所在的目錄存在，回傳輸出檔案的路徑（Path）；out_dir 為空字串時使用目前目錄。\n\n"
    "    只建立 out_dir 本身，不建立 out_file 內的子目錄，也不建立檔案。\n\n"
    "    範例：\n"
    "        path = setup_output_file(\"out\", \"result.txt\", logger=log)  # out/result.txt"};
const Published kPublishSetupOutputFile{kSetupOutputFile, 13};

}  // namespace

}  // namespace quillkit::cargohold
