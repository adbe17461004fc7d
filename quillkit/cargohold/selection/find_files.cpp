// File discovery's public body: the files below a start path whose suffix is in a set of
// extensions, with excluded trees, a name prefix, and alphabetical or date-code order. The query
// it builds and the walk that answers it are discovery's (../discovery/query.hpp).
#include "../cargohold.hpp"
#include "../discovery/listing_reader.hpp"
#include "../discovery/query.hpp"
#include "../filesystem/file_kinds.hpp"
#include "../stand_ins/guards.hpp"

namespace quillkit::cargohold {

namespace {

// The single file the start path names, when it passes the tests.
void collect_single_file(const Query& query, FoundFiles& found) {
    if (is_excluded(query.abspath, query.exclude_set, query.start_text)) return;
    nb::object suffix = call_method(attr(query.start, names::suffix), names::lower);
    if (!require_status(PySet_Contains(query.extensions.ptr(), suffix.ptr()))) return;
    if (truthy(query.prefix) &&
        !truthy(call_method(attr(query.start, names::name), names::startswith, {query.prefix}))) {
        return;
    }
    found.add(query.start_text, attr(query.start, names::stem));
}

// The pairs in ascending order of path, ties broken by name, as sorted() orders them.
void sort_alphabetically(FoundFiles& found) {
    const Py_ssize_t count = found.size();
    nb::object pairs = require(PyList_New(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyList_SET_ITEM(pairs.ptr(), index,
                        pair(list_item(found.files, index), list_item(found.names, index)).release().ptr());
    }
    // Comparing names that a replaced Path gave may run Python code: read everything again.
    require_status(PyList_Sort(pairs.ptr()));
    FoundFiles sorted;
    for (Py_ssize_t index = 0; index < list_size(pairs); ++index) {
        nb::handle sorted_pair = list_item(pairs, index);
        sorted.add(PyTuple_GET_ITEM(sorted_pair.ptr(), 0), PyTuple_GET_ITEM(sorted_pair.ptr(), 1));
    }
    found = std::move(sorted);
}

// The date-code sort keys of the names, looking the function up for every key.
nb::object datecode_keys(nb::handle stampkit, const FoundFiles& found) {
    nb::object keys = require(PyList_New(0));
    for (Py_ssize_t index = 0; index < found.size(); ++index) {
        nb::object parse = attr(stampkit, names::parseVEV_fileNameTime);
        nb::object key = call(parse, {nb::borrow(list_item(found.names, index))});
        require_status(PyList_Append(keys.ptr(), truthy(key) ? key.ptr() : literal("").ptr()));
    }
    return keys;
}

// Orders the pairs by the date code in their names (a stable sort, so names without one come
// first in discovery order). False, after the error message, when the date-code module or its
// function is missing.
bool sort_by_datecode(nb::handle logger, FoundFiles& found) {
    try {
        nb::object stampkit = require(PyImport_ImportModule("quillkit.stampkit"));
        nb::object keys = datecode_keys(stampkit, found);
        // list.sort with a key compares with < only and is stable, as sorted(key=...) is.
        const Py_ssize_t count = list_size(keys);
        nb::object order = require(PyList_New(count));
        for (Py_ssize_t index = 0; index < count; ++index) {
            PyList_SET_ITEM(order.ptr(), index, require(PyLong_FromSsize_t(index)).release().ptr());
        }
        call_method(order, names::sort, {}, {{names::key, attr(keys, names::dunder_getitem)}});
        FoundFiles sorted;
        for (Py_ssize_t index = 0; index < list_size(order); ++index) {
            const Py_ssize_t from = PyLong_AsSsize_t(list_item(order, index).ptr());
            if (from == -1 && PyErr_Occurred()) throw nb::python_error();
            sorted.add(nb::borrow(list_item(found.files, from)), nb::borrow(list_item(found.names, from)));
        }
        found = std::move(sorted);
        log_to(logger, names::info, literal("✅ 已完成檔案 VEV 時間排序 (DateCode)"));
        return true;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError) && !error.matches(PyExc_AttributeError)) throw;
    }
    log_to(logger, names::error,
           literal("❌ 無法使用 DateCode 排序：未找到 quillkit.stampkit。改用字母排序。"));
    return false;
}

// (files, names) of the matching files below or at `in_path`.
nb::object find_files_with_extensions(Call& c, nb::handle in_path, nb::handle extensions,
                                      nb::handle recursive, nb::handle sort_datecode,
                                      nb::handle exclude_paths, nb::handle prefix, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    Query query;
    query.extensions = extension_set(extensions);
    query.abspath = attr(attr(c.global(names::os), names::path), names::abspath);
    query.exclude_set = exclusion_set(query.abspath, exclude_paths);
    query.start = call(c.global(names::Path), {in_path});
    log_to(chosen, names::info, concat({"🔍 正在掃描路徑：", in_path}));
    query.start_text = to_str(query.start);
    query.recursive = recursive;
    query.prefix = prefix;
    query.by_datecode = truthy(sort_datecode);
    // `Path(root) / name`, its suffix and stem: by pathlib's rules while what they rely on is as
    // found, else asked of the library for every file.
    if (stand_ins::path_class(
            c, stand_ins::kMakePath | stand_ins::kJoin | stand_ins::kSuffix | stand_ins::kStem)) {
        query.rules = stand_ins::library_rules(c);
    } else {
        query.path_class = c.global(names::Path);
    }
    FoundFiles found;
    bool sorted = false;
    switch (filesystem::kind_of(query.start_text)) {
        case filesystem::Kind::directory:
            // An excluded start directory ends the call at once, without the closing line.
            if (is_excluded(query.abspath, query.exclude_set, query.start_text))
                return pair(found.files, found.names);
            sorted = collect_from_directory(query, found);
            break;
        case filesystem::Kind::regular_file:
            collect_single_file(query, found);
            break;
        default:
            log_to(chosen, names::warning, concat({"⚠️ 跳過無效路徑：", in_path}));
    }
    if (found.size() > 0 && !sorted && !(query.by_datecode && sort_by_datecode(chosen, found))) {
        sort_alphabetically(found);
    }
    nb::object count = require(PyLong_FromSsize_t(found.size()));
    log_to(chosen, names::debug, concat({"✅ 已掃描處理完畢，共找到 ", count, " 個檔案"}));
    return pair(found.files, found.names);
}

constexpr Function kFindFilesWithExtensions{
    "find_files_with_extensions",
    body<find_files_with_extensions>,
    {Param{"in_path"}, Param{"extensions"}, Param{"recursive", Rule::any, nullptr, Default::boolean(false)},
     Param{"sort_datecode", Rule::any, nullptr, Default::boolean(false)},
     Param{"exclude_paths", Rule::any, nullptr, Default::none()},
     Param{"prefix", Rule::any, nullptr, Default::none()}, kLogger},
    Returns{},
    "依副檔名尋找檔案，回傳 (路徑清單, 檔名主幹清單)。\n\n"
    "    in_path 可為資料夾或單一檔案；extensions 不分大小寫，可省略開頭的 \".\"（單一字串視為一個\n"
    "    副檔名）。recursive 為真時深入子資料夾（不進入指向資料夾的連結）；exclude_paths 中的\n"
    "    路徑及其下所有內容都會略過；prefix 限定檔名開頭（區分大小寫）。結果依路徑排序，\n"
    "    sort_datecode 為真時改依 quillkit.stampkit 解析出的檔名日期碼排序。\n\n"
    "    範例：\n"
    "        files, names = find_files_with_extensions(\"src\", [\".py\"], recursive=True,\n"
    "                                                  exclude_paths=[\"src/build\"])"};
const Published kPublishFindFilesWithExtensions{kFindFilesWithExtensions, 14};

}  // namespace

}  // namespace quillkit::cargohold
