// File-name fields and matching: pure text rules on the last component of a path.
//
// The last component and its stem follow pathlib's rules for a str on the running release; while
// the Path global is the one found they are computed natively (stand_ins/path_rules.hpp) without
// making a path object, which is what these functions cost in Python. A property test
// (tests/cargohold/paths/test_filenames.py) holds them to `pathlib.Path(name).name` and `.stem`.
#include "../cargohold.hpp"
#include "../stand_ins/path_rules.hpp"

namespace quillkit::cargohold {

namespace {

// `Path(text).name`: natively while the Path global and what it relies on are as found.
nb::object name_of(Call& c, nb::str text) {
    if (stand_ins::path_class(c, stand_ins::kName)) return stand_ins::name_text(text);
    return attr(call(c.global(names::Path), {text}), names::name);
}

// `Path(text).stem`: natively while the Path global and what it relies on are as found.
nb::object stem_of(Call& c, nb::str text) {
    if (stand_ins::path_class(c, stand_ins::kStem))
        return stand_ins::stem_text(text, stand_ins::library_rules(c)->dots);
    return attr(call(c.global(names::Path), {text}), names::stem);
}

// The fields of the stem of `fileName` split by `sp`, taken at the indices of `partNumber`.
nb::object extract_filename_info(Call& c, nb::str file_name, nb::tuple part_number, nb::str separator) {
    if (PyUnicode_GET_LENGTH(file_name.ptr()) == 0) {
        raise(PyExc_ValueError, "fileName cannot be empty.");
    }
    nb::object stem = stem_of(c, file_name);
    // A replaced Path may give anything: str.split on it as Python would call it.
    nb::object fields = PyUnicode_CheckExact(stem.ptr())
                            ? require(PyUnicode_Split(stem.ptr(), separator.ptr(), -1))
                            : call_method(stem, names::split, {separator});
    nb::object zero = require(PyLong_FromLong(0));
    nb::object count = require(PyLong_FromSsize_t(require_status(PyObject_Size(fields.ptr()))));
    // Every index is checked, as `0 <= index < len(fields)`, before any field is taken: an index
    // that compares but cannot subscript (a float) fails only afterwards, as it does in Python.
    const Py_ssize_t wanted = PyTuple_GET_SIZE(part_number.ptr());
    for (Py_ssize_t position = 0; position < wanted; ++position) {
        PyObject* index = PyTuple_GET_ITEM(part_number.ptr(), position);
        if (!require_status(PyObject_RichCompareBool(zero.ptr(), index, Py_LE)) ||
            !require_status(PyObject_RichCompareBool(index, count.ptr(), Py_LT))) {
            raise(PyExc_IndexError, "Index in partNumber is out of range.");
        }
    }
    nb::object result = require(PyTuple_New(wanted));
    for (Py_ssize_t position = 0; position < wanted; ++position) {
        PyObject* index = PyTuple_GET_ITEM(part_number.ptr(), position);
        PyTuple_SET_ITEM(result.ptr(), position,
                         require(PyObject_GetItem(fields.ptr(), index)).release().ptr());
    }
    return result;
}

constexpr Function kExtractFilenameInfo{
    "extract_filename_info",
    body<extract_filename_info>,
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
const Published kPublishExtractFilenameInfo{kExtractFilenameInfo, 21};

constexpr int kStart = -1, kEnd = 1;

// `name.startswith(affix)` (kStart) or `name.endswith(affix)` (kEnd); an unset affix matches.
bool has_affix(nb::handle name, const nb::object& affix, int direction) {
    if (!PyUnicode_CheckExact(name.ptr())) {  // what a replaced Path gave: its own methods decide
        nb::handle tested = affix.is_valid() ? nb::handle(affix) : literal("");
        return truthy(call_method(name, direction == kStart ? names::startswith : names::endswith, {tested}));
    }
    if (!affix.is_valid()) return true;
    return require_status(PyUnicode_Tailmatch(name.ptr(), affix.ptr(), 0, PY_SSIZE_T_MAX, direction)) != 0;
}

// Whether the last component starts with `prefix` and ends with `suffix` (None or empty: any).
nb::object match_filename(Call& c, nb::str filename, Optional<nb::str> prefix, Optional<nb::str> suffix,
                          nb::handle ignore_case) {
    nb::object name = name_of(c, filename);
    // An affix left unset (None or empty) matches every name.
    const auto affix = [](const Optional<nb::str>& given) {
        return !given.is_none() && PyUnicode_GET_LENGTH(given.handle().ptr()) ? nb::object(given.value())
                                                                              : nb::object();
    };
    nb::object head = affix(prefix), tail = affix(suffix);
    if (truthy(ignore_case)) {
        name = call_method(name, names::lower);
        if (head.is_valid()) head = call_method(head, names::lower);
        if (tail.is_valid()) tail = call_method(tail, names::lower);
    }
    const bool matched = has_affix(name, head, kStart) && has_affix(name, tail, kEnd);
    return nb::borrow(matched ? Py_True : Py_False);
}

constexpr Function kMatchFilename{
    "match_filename",
    body<match_filename>,
    {Param{"filename", Rule::str, "str"}, Param{"prefix", Rule::str, "str", Default::none()},
     Param{"suffix", Rule::str, "str", Default::none()},
     Param{"ignore_case", Rule::any, "bool", Default::boolean(true)}},
    Returns{"bool"},
    "判斷檔名（路徑的最後一段）是否以 prefix 開頭並以 suffix 結尾，預設不分大小寫。\n\n"
    "    prefix、suffix 為 None 或空字串時視為符合。\n\n"
    "    範例：\n"
    "        match_filename(\"data/test_file.CSV\", prefix=\"test\", suffix=\".csv\")  # True"};
const Published kPublishMatchFilename{kMatchFilename, 22};

}  // namespace

}  // namespace quillkit::cargohold
