// File-name fields and matching: pure text rules on the last component of a path.
//
// The last component and its stem follow pathlib's rules for a str; they are computed here
// without making a path object, which is what these functions cost in Python. A property test
// (tests/test_filenames.py) holds them to `pathlib.Path(name).name` and `.stem`.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

// `pathlib.PurePosixPath(text).name`: the last component that is neither empty nor ".", or the
// empty text. Separators are runs of "/"; a leading root never names anything.
nb::object last_component(nb::str text) {
    PyObject* raw = text.ptr();
    Py_ssize_t end = PyUnicode_GET_LENGTH(raw);
    while (true) {
        while (end > 0 && PyUnicode_READ_CHAR(raw, end - 1) == '/') --end;
        if (end == 0) return nb::borrow(literal(""));
        const Py_ssize_t separator = PyUnicode_FindChar(raw, '/', 0, end, -1);
        if (separator == -2) throw nb::python_error();
        const Py_ssize_t start = separator + 1;
        if (end - start == 1 && PyUnicode_READ_CHAR(raw, start) == '.') {
            end = start;  // "." components are dropped
            continue;
        }
        if (start == 0 && end == PyUnicode_GET_LENGTH(raw)) return std::move(text);
        return require(PyUnicode_Substring(raw, start, end));
    }
}

// `pathlib.Path(text).stem`: the last component without its last suffix, where a suffix needs
// a dot that is neither the first nor the last character.
nb::object stem_of(nb::str text) {
    nb::object name = last_component(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.ptr());
    const Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, length, -1);
    if (dot == -2) throw nb::python_error();
    if (dot > 0 && dot < length - 1) return require(PyUnicode_Substring(name.ptr(), 0, dot));
    return name;
}

// The fields of the stem of `fileName` split by `sp`, taken at the indices of `partNumber`.
nb::object extract_filename_info(Call&, nb::str file_name, nb::tuple part_number, nb::str separator) {
    if (PyUnicode_GET_LENGTH(file_name.ptr()) == 0) {
        raise(PyExc_ValueError, "fileName cannot be empty.");
    }
    nb::object fields = require(PyUnicode_Split(stem_of(file_name).ptr(), separator.ptr(), -1));
    nb::object zero = require(PyLong_FromLong(0));
    nb::object count = require(PyLong_FromSsize_t(PyList_GET_SIZE(fields.ptr())));
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

constexpr int kStart = -1, kEnd = 1;

// `name.startswith(affix)` (kStart) or `name.endswith(affix)` (kEnd); an unset affix matches.
bool has_affix(nb::handle name, const nb::object& affix, int direction) {
    if (!affix.is_valid()) return true;
    return require_status(PyUnicode_Tailmatch(name.ptr(), affix.ptr(), 0, PY_SSIZE_T_MAX, direction)) != 0;
}

// Whether the last component starts with `prefix` and ends with `suffix` (None or empty: any).
nb::object match_filename(Call&, nb::str filename, Optional<nb::str> prefix, Optional<nb::str> suffix,
                          nb::handle ignore_case) {
    nb::object name = last_component(filename);
    // An affix left unset (None or empty) matches every name.
    const auto affix = [](const Optional<nb::str>& given) {
        return !given.is_none() && PyUnicode_GET_LENGTH(given.handle().ptr()) ? nb::object(given.value()) : nb::object();
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

}  // namespace

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

}  // namespace quillkit::cargohold
