// File discovery: the files below a start path whose suffix is in a set of extensions, with
// excluded trees, a name prefix, and alphabetical or date-code order.
//
// The walk runs natively (tree.hpp) with the GIL released; what it cannot decide on bytes alone
// (a suffix that is not ASCII, a prefix that is not plain text) it leaves to the interpreter's
// own text operations here, so the result is exactly the one os.walk and pathlib give.
#include "discovery.hpp"
#include "path_text.hpp"
#include "tree.hpp"

#include <algorithm>
#include <numeric>

namespace quillkit::cargohold {

namespace {

// Directories visited between two checks for a pending signal (Ctrl-C stops a long walk).
constexpr size_t kDirectoriesPerSlice = 256;

// `values` as a for statement iterates them, except that a lone text counts as a one-element
// list.
nb::object as_items(nb::handle values) {
    return PyUnicode_Check(values.ptr()) ? require(PyTuple_Pack(1, values.ptr())) : nb::borrow(values);
}

}  // namespace

nb::object extension_set(nb::handle extensions) {
    nb::object set = require(PySet_New(nullptr));
    if (extensions.is_none()) return set;
    for_each_item(as_items(extensions), [&](nb::handle item) {
        nb::object lowered = call_method(item, names::lower);
        if (!truthy(call_method(lowered, names::startswith, {literal(".")}))) {
            lowered = require(PyNumber_Add(literal(".").ptr(), lowered.ptr()));
        }
        require_status(PySet_Add(set.ptr(), lowered.ptr()));
    });
    return set;
}

namespace {

// The absolute, normalised form of every excluded path, without trailing separators.
nb::object exclusion_set(nb::handle abspath, nb::handle exclude_paths) {
    nb::object set = require(PySet_New(nullptr));
    if (!truthy(exclude_paths)) return set;
    for_each_item(as_items(exclude_paths), [&](nb::handle item) {
        nb::object entry = call_method(call(abspath, {item}), names::rstrip, {literal("/")});
        require_status(PySet_Add(set.ptr(), entry.ptr()));
    });
    return set;
}

// `_is_excluded`: the path is an excluded one or lies below one.
bool is_excluded(nb::handle abspath, nb::handle exclude_set, nb::handle target) {
    if (PySet_GET_SIZE(exclude_set.ptr()) == 0) return false;
    nb::object absolute = call(abspath, {target});
    if (require_status(PySet_Contains(exclude_set.ptr(), absolute.ptr()))) return true;
    nb::object iterator = require(PyObject_GetIter(exclude_set.ptr()));
    while (PyObject* entry = PyIter_Next(iterator.ptr())) {
        nb::object owned = nb::steal(entry);
        if (truthy(call_method(absolute, names::startswith, {concat({owned, "/"})}))) return true;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
}

// The parts of the exclusion set that can apply below the start directory, as paths relative
// to it: an entry can only equal a path below the start when it begins with the start's
// absolute form and a separator, and only what follows matters. (Entries above the start were
// handled before the walk: they exclude the whole start directory.)
void add_relative_exclusions(nb::handle exclude_set, nb::handle start_absolute, tree::Filter& filter) {
    nb::object base = path_text::child_prefix(start_absolute);
    const Py_ssize_t base_length = PyUnicode_GET_LENGTH(base.ptr());
    nb::object iterator = require(PyObject_GetIter(exclude_set.ptr()));
    while (PyObject* entry = PyIter_Next(iterator.ptr())) {
        nb::object owned = nb::steal(entry);
        if (!PyUnicode_Check(entry) || PyUnicode_GET_LENGTH(entry) <= base_length) continue;
        if (require_status(PyUnicode_Tailmatch(entry, base.ptr(), 0, base_length, -1)) == 0) continue;
        nb::object relative = require(PyUnicode_Substring(entry, base_length, PY_SSIZE_T_MAX));
        std::optional<std::string> bytes = path_text::encode_exactly(relative);
        if (!bytes) continue;  // no name read from the system decodes to this text
        for (size_t slash = bytes->find('/'); slash != std::string::npos; slash = bytes->find('/', slash + 1)) {
            filter.holds_excluded.insert(bytes->substr(0, slash));
        }
        filter.holds_excluded.insert(std::string());
        filter.excluded.insert(std::move(*bytes));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Found files as two parallel lists of texts.
struct FoundFiles {
    nb::object files = require(PyList_New(0));
    nb::object names = require(PyList_New(0));

    Py_ssize_t size() const { return list_size(files); }
    void add(nb::handle path, nb::handle stem) {
        require_status(PyList_Append(files.ptr(), path.ptr()));
        require_status(PyList_Append(names.ptr(), stem.ptr()));
    }
};

// Runs the walk in slices with the GIL released, checking for signals between them.
void run_walk(tree::Walk& walk) {
    for (;;) {
        const bool done = without_gil([&] { return walk.advance(kDirectoriesPerSlice); });
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
        if (done) return;
    }
}

// Walks the start directory and adds the files that pass every test, in discovery order unless
// `sort_bytes` allows sorting them here (then they come sorted, and the function says so).
bool collect_from_directory(nb::handle start_text, const std::string& start_bytes, bool recursive,
                            nb::handle extensions, nb::handle abspath, nb::handle exclude_set,
                            nb::handle prefix, bool sort_bytes, FoundFiles& found) {
    const bool utf8 = path_text::utf8_names();
    tree::Filter filter;
    filter.match_nothing = PySet_GET_SIZE(extensions.ptr()) == 0;
    filter.suffixes_in_text = !utf8;
    nb::object iterator = require(PyObject_GetIter(extensions.ptr()));
    while (PyObject* extension = PyIter_Next(iterator.ptr())) {
        nb::object owned = nb::steal(extension);
        if (PyUnicode_Check(extension) && PyUnicode_IS_ASCII(extension)) {
            // ASCII: the characters are the bytes, a NUL included.
            filter.extensions.emplace_back(static_cast<const char*>(PyUnicode_DATA(extension)),
                                           static_cast<size_t>(PyUnicode_GET_LENGTH(extension)));
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (PySet_GET_SIZE(exclude_set.ptr()) > 0) {
        add_relative_exclusions(exclude_set, call(abspath, {start_text}), filter);
    }
    // A prefix of plain text (no surrogates) starts a name's bytes exactly when it starts its
    // decoded text; anything else is tested on the text, where str.startswith decides.
    const bool has_prefix = truthy(prefix);
    if (has_prefix && utf8 && PyUnicode_Check(prefix.ptr())) {
        Py_ssize_t size;
        if (const char* bytes = PyUnicode_AsUTF8AndSize(prefix.ptr(), &size)) {
            filter.prefix_in_bytes = true;
            filter.prefix.assign(bytes, static_cast<size_t>(size));
        } else {
            // Surrogates have no UTF-8 form: str.startswith decides on the decoded names.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
            PyErr_Clear();
        }
    }
    const bool prefix_in_text = has_prefix && !filter.prefix_in_bytes;

    tree::Walk walk(start_bytes, recursive, filter);
    run_walk(walk);

    std::vector<size_t> kept;
    bool all_strict_utf8 = utf8;
    const std::vector<tree::Found>& records = walk.found();
    for (size_t index = 0; index < records.size(); ++index) {
        const tree::Found& record = records[index];
        const std::string_view relative = walk.relative_path(record);
        if (record.suffix_undecided) {
            nb::object suffix = call_method(path_text::decode(relative.substr(record.stem_end)), names::lower);
            if (!require_status(PySet_Contains(extensions.ptr(), suffix.ptr()))) continue;
        }
        if (prefix_in_text) {
            nb::object name = path_text::decode(relative.substr(record.name_offset));
            if (!truthy(call_method(name, names::startswith, {prefix}))) continue;
        }
        all_strict_utf8 = all_strict_utf8 && tree::is_strict_utf8(relative);
        kept.push_back(index);
    }
    // Byte order is code-point order for strict UTF-8, and every path shares the start, so the
    // relative parts can be sorted before any text is made.
    const bool sorted_here = sort_bytes && all_strict_utf8;
    if (sorted_here) {
        std::sort(kept.begin(), kept.end(), [&](size_t left, size_t right) {
            return walk.relative_path(records[left]) < walk.relative_path(records[right]);
        });
    }

    nb::object start_prefix = path_text::child_prefix(start_text);
    std::optional<std::string> prefix_bytes = path_text::encode_exactly(start_prefix);
    std::string buffer;
    for (size_t index : kept) {
        const tree::Found& record = records[index];
        const std::string_view relative = walk.relative_path(record);
        nb::object path;
        if (prefix_bytes) {  // one decode for the whole path text
            buffer.assign(*prefix_bytes);
            buffer.append(relative);
            path = path_text::decode(buffer);
        } else {
            path = require(PyUnicode_Concat(start_prefix.ptr(), path_text::decode(relative).ptr()));
        }
        nb::object stem = path_text::decode(
            relative.substr(record.name_offset, record.stem_end - record.name_offset));
        found.add(path, stem);
    }
    return sorted_here;
}

// The single file the start path names, when it passes the tests.
void collect_single_file(nb::handle start, nb::handle start_text, nb::handle extensions,
                         nb::handle abspath, nb::handle exclude_set, nb::handle prefix, FoundFiles& found) {
    if (is_excluded(abspath, exclude_set, start_text)) return;
    nb::object suffix = call_method(attr(start, names::suffix), names::lower);
    if (!require_status(PySet_Contains(extensions.ptr(), suffix.ptr()))) return;
    if (truthy(prefix) && !truthy(call_method(attr(start, names::name), names::startswith, {prefix}))) return;
    found.add(start_text, attr(start, names::stem));
}

// The pairs in ascending order of path, ties broken by name, as sorted() orders them.
void sort_alphabetically(FoundFiles& found) {
    const Py_ssize_t count = found.size();
    nb::object pairs = require(PyList_New(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        nb::object pair = require(PyTuple_Pack(2, list_item(found.files, index).ptr(),
                                               list_item(found.names, index).ptr()));
        PyList_SET_ITEM(pairs.ptr(), index, pair.release().ptr());
    }
    // Comparing names that a replaced Path gave may run Python code: read everything again.
    require_status(PyList_Sort(pairs.ptr()));
    FoundFiles sorted;
    for (Py_ssize_t index = 0; index < list_size(pairs); ++index) {
        nb::handle pair = list_item(pairs, index);
        sorted.add(PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
    }
    found = std::move(sorted);
}

// Orders the pairs by the date code in their names (a stable sort, so names without one come
// first in discovery order). False, after the error message, when the date-code module or its
// function is missing.
bool sort_by_datecode(nb::handle logger, FoundFiles& found) {
    try {
        nb::object stampkit = require(PyImport_ImportModule("quillkit.stampkit"));
        const Py_ssize_t count = found.size();
        nb::object keys = require(PyList_New(0));
        for (Py_ssize_t index = 0; index < count; ++index) {
            nb::object parse = attr(stampkit, names::parseVEV_fileNameTime);  // looked up for every key
            nb::object key = call(parse, {nb::borrow(list_item(found.names, index))});
            if (!truthy(key)) key = nb::borrow(literal(""));
            require_status(PyList_Append(keys.ptr(), key.ptr()));
        }
        // list.sort with a key compares with < only and is stable, as sorted(key=...) is.
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
                                      nb::handle exclude_paths, nb::handle prefix,
                                      nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    nb::object extension_texts = extension_set(extensions);
    nb::object abspath = attr(attr(c.global(names::os), names::path), names::abspath);
    nb::object exclude_set = exclusion_set(abspath, exclude_paths);
    FoundFiles found;
    nb::object start = call(c.global(names::Path), {in_path});
    log_to(chosen, names::info, concat({"🔍 正在掃描路徑：", in_path}));
    nb::object start_text = to_str(start);
    const bool by_datecode = truthy(sort_datecode);
    bool sorted = false;
    switch (path_text::kind_of(start_text)) {
        case tree::Kind::directory:
            // An excluded start directory ends the call at once, without the closing line.
            if (is_excluded(abspath, exclude_set, start_text)) {
                return require(PyTuple_Pack(2, found.files.ptr(), found.names.ptr()));
            }
            sorted = collect_from_directory(start_text, *path_text::encode(start_text), truthy(recursive),
                                            extension_texts, abspath, exclude_set, prefix,
                                            !by_datecode, found);
            break;
        case tree::Kind::regular_file:
            collect_single_file(start, start_text, extension_texts, abspath, exclude_set, prefix, found);
            break;
        default:
            log_to(chosen, names::warning, concat({"⚠️ 跳過無效路徑：", in_path}));
    }
    if (found.size() > 0 && !sorted && !(by_datecode && sort_by_datecode(chosen, found))) {
        sort_alphabetically(found);
    }
    nb::object count = require(PyLong_FromSsize_t(found.size()));
    log_to(chosen, names::debug, concat({"✅ 已掃描處理完畢，共找到 ", count, " 個檔案"}));
    return require(PyTuple_Pack(2, found.files.ptr(), found.names.ptr()));
}


}  // namespace

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

}  // namespace quillkit::cargohold
