// Terminal dialogues: choosing files from a numbered list (after a scan or from given lists), a
// numbered option menu, and text typed in the user's editor. All of them speak through the
// module's `click` global, looked up at each call.
#include "../cargohold.hpp"
#include "../discovery/query.hpp"
#include "../stand_ins/member_test.hpp"
#include "../stand_ins/text_methods.hpp"

#include <climits>
#include <vector>

namespace quillkit::cargohold {

namespace {

void echo(nb::handle click, nb::handle text) { call_method(click, names::echo, {text}); }

nb::object empty_list() { return require(PyList_New(0)); }

// ---------------------------------------------------------------------------------------------
// Choosing files

// How a file is shown in the list: its relative path when it lies in another directory than the
// working one, else its name and the extension.
nb::object display_name(nb::handle os, nb::handle path, nb::handle name, nb::handle extension) {
    nb::object shown = concat({name, extension});
    if (!PyUnicode_Check(path.ptr())) return shown;
    nb::object web = require(PyTuple_Pack(2, literal("http://").ptr(), literal("https://").ptr()));
    if (truthy(call_method(path, names::startswith, {web}))) return shown;
    try {
        nb::object relative = call(attr(attr(os, names::path), names::relpath), {path});
        relative = call_method(relative, names::replace, {attr(os, names::sep), literal("/")});
        if (require_status(PySequence_Contains(relative.ptr(), literal("/").ptr()))) return relative;
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;  // a path relpath cannot handle keeps the short form
    }
    return shown;
}

// The answer's numbers minus one, in the order given; false when a piece is not an integer.
bool parse_indices(nb::handle answer, std::vector<long long>& indices) {
    nb::object pieces = call_method(answer, names::split, {literal(",")});
    nb::object iterator = require(PyObject_GetIter(pieces.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object piece = call_method(nb::steal(raw), names::strip);
        if (!truthy(piece)) continue;
        nb::object number = require_or_null(PyNumber_Long(piece.ptr()), PyExc_ValueError);  // int(piece)
        if (!number.is_valid()) return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) throw nb::python_error();
        // A number too large for any list is out of range, like any other.
        indices.push_back(overflow ? LLONG_MIN : value - 1);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return true;
}

using Pairs = std::vector<std::pair<nb::object, nb::object>>;

// The (path, name) pairs, position by position up to the shorter list, without the excluded
// names. The membership test may run Python code that changes either list: sizes are read anew.
Pairs kept_pairs(nb::handle files, nb::handle file_names, const Optional<nb::list>& exclude_names) {
    const bool filtering = !exclude_names.is_none() && list_size(exclude_names.handle()) > 0;
    stand_ins::MemberTest excluded(exclude_names.handle(), stand_ins::MemberTest::Match::equal);
    Pairs pairs;
    for (Py_ssize_t index = 0; index < list_size(files) && index < list_size(file_names); ++index) {
        nb::object path = nb::borrow(list_item(files, index));
        nb::object name = nb::borrow(list_item(file_names, index));
        if (filtering && excluded.matches(name)) continue;
        pairs.emplace_back(std::move(path), std::move(name));
    }
    return pairs;
}

// Shows the numbered list and asks for the numbers; the answer stripped and lower-cased.
nb::object ask_for_numbers(Call& c, nb::handle click, const Pairs& pairs, nb::handle extension) {
    echo(click, concat({"\n找到以下 ", extension, " 檔案："}));
    nb::object os = c.global(names::os);
    for (size_t index = 0; index < pairs.size(); ++index) {
        nb::object number = require(PyLong_FromSize_t(index + 1));
        nb::object shown = display_name(os, pairs[index].first, pairs[index].second, extension);
        echo(click, concat({"  [", number, "] ", shown}));
    }
    nb::object answer =
        call_method(click, names::prompt,
                    {literal("\n請輸入檔案編號 (例如: 1,2,5) 或輸入 'all' 代表全部 (直接按 Enter 則不選取)")},
                    {{names::default_, literal("")}, {names::show_default, Py_False}});
    return call_method(call_method(answer, names::strip), names::lower);
}

// The pairs the answer chooses: all of them, or those its numbers name, in the order given
// (numbers outside the list are dropped without a word); empty after a format error.
nb::object chosen_pairs(nb::handle click, const Pairs& pairs, nb::handle answer) {
    nb::object selection = empty_list();
    if (require_status(PyObject_RichCompareBool(answer.ptr(), literal("all").ptr(), Py_EQ))) {
        for (const auto& [path, name] : pairs)
            require_status(PyList_Append(selection.ptr(), pair(path, name).ptr()));
        return selection;
    }
    std::vector<long long> indices;
    if (!parse_indices(answer, indices)) {
        call_method(click, names::secho, {literal("輸入格式錯誤，請提供數字編號並以逗號分隔。")},
                    {{names::fg, literal("red")}});
        return selection;
    }
    for (long long index : indices) {
        if (index < 0 || index >= static_cast<long long>(pairs.size())) continue;
        const auto& [path, name] = pairs[static_cast<size_t>(index)];
        require_status(PyList_Append(selection.ptr(), pair(path, name).ptr()));
    }
    return selection;
}

// The chosen (path, name) pairs; an empty list when nothing was chosen or nothing is left.
nb::object interactive_select_files(Call& c, nb::list files, nb::list file_names, nb::str extension,
                                    Optional<nb::list> exclude_names) {
    nb::object click = c.global(names::click);
    const Pairs pairs = kept_pairs(files, file_names, exclude_names);
    if (!exclude_names.is_none() && list_size(exclude_names.handle()) > 0 && pairs.empty()) {
        echo(click, concat({"經過過濾後，找不到任何可用的 ", extension, " 檔案。"}));
        return empty_list();
    }
    return chosen_pairs(click, pairs, ask_for_numbers(c, click, pairs, extension));
}

constexpr Function kInteractiveSelectFiles{
    "interactive_select_files",
    body<interactive_select_files>,
    {Param{"files", Rule::list, "list"}, Param{"names", Rule::list, "list"},
     Param{"extension", Rule::str, "str", Default::text(".py")},
     Param{"exclude_names", Rule::list, "list", Default::none()}},
    Returns{"list", Rule::list},
    "在終端機列出編號清單，讓使用者以編號（例如 1,2,5）或 'all' 選擇檔案，回傳 (路徑, 名稱)\n"
    "    的清單，順序與輸入的編號相同。\n\n"
    "    名稱在 exclude_names 中的檔案不列出；工作目錄以外的檔案以相對路徑顯示。直接按 Enter\n"
    "    不選取任何檔案；超出範圍的編號略過；輸入非數字時顯示錯誤並回傳空清單。\n\n"
    "    範例：\n"
    "        chosen = interactive_select_files(files, names, extension=\".md\")"};
const Published kPublishInteractiveSelectFiles{kInteractiveSelectFiles, 8};

// The extension the list shows: the one scanned when there was exactly one, else nothing.
nb::object shown_extension(nb::handle extensions) {
    nb::object distinct = extension_set(extensions);
    if (PySet_GET_SIZE(distinct.ptr()) != 1) return nb::borrow(literal(""));
    return require(PySet_Pop(distinct.ptr()));
}

// Scans a folder and lets the user choose among the files found.
nb::object scan_and_select_files(Call& c, nb::handle directory, nb::handle extensions, nb::handle recursive,
                                 nb::handle exclude_names, nb::handle exclude_paths, nb::handle label,
                                 nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    if (!is_path_kind(call(c.global(names::get_path_type), {directory}, {{names::logger, chosen}}),
                      PathKind::directory)) {
        log_to(chosen, names::error, concat({"❌ 來源資料夾不存在或無效：", directory}));
        return empty_list();
    }
    // A one-shot iterator is read once here, so that the scan and the list header see the same
    // extensions.
    nb::object scanned = nb::borrow(extensions);
    if (!extensions.is_none() && !PyUnicode_Check(extensions.ptr())) {
        nb::object iterator = require(PyObject_GetIter(extensions.ptr()));
        if (iterator.ptr() == extensions.ptr()) scanned = require(PySequence_List(iterator.ptr()));
    }
    nb::object found = call(c.global(names::find_files_with_extensions), {directory},
                            {{names::extensions, scanned},
                             {names::recursive, recursive},
                             {names::exclude_paths, exclude_paths},
                             {names::logger, chosen}});
    auto [files, file_names] = unpack_pair(found);
    if (!truthy(files)) {
        log_to(chosen, names::error, concat({"❌ 在 ", directory, " 中找不到任何 ", label, "。"}));
        return empty_list();
    }
    nb::object selection =
        call(c.global(names::interactive_select_files), {files, file_names},
             {{names::extension, shown_extension(scanned)}, {names::exclude_names, exclude_names}});
    if (!truthy(selection)) {
        log_to(chosen, names::warning, concat({"⚠️ 未選取任何有效", label, "，程序結束。"}));
        return empty_list();
    }
    return selection;
}

constexpr Function kScanAndSelectFiles{
    "scan_and_select_files",
    body<scan_and_select_files>,
    {Param{"directory"}, Param{"extensions"}, Param{"recursive", Rule::any, nullptr, Default::boolean(true)},
     Param{"exclude_names", Rule::any, nullptr, Default::none()},
     Param{"exclude_paths", Rule::any, nullptr, Default::none()},
     Param{"label", Rule::any, nullptr, Default::text("檔案")}, kLogger},
    Returns{"list", Rule::list},
    "掃描資料夾中符合副檔名的檔案，並讓使用者在終端機選擇，回傳 (路徑, 名稱) 的清單。\n\n"
    "    資料夾不存在、找不到檔案或未選取任何檔案時記錄原因並回傳空清單。只掃描一種副檔名時，\n"
    "    清單會標示該副檔名。\n\n"
    "    範例：\n"
    "        chosen = scan_and_select_files(\"docs\", [\".md\"], label=\"文件\")"};
const Published kPublishScanAndSelectFiles{kScanAndSelectFiles, 9};

// ---------------------------------------------------------------------------------------------
// Prompts

// The chosen option, or "all".
nb::object select_option(Call& c, nb::str prompt_text, nb::list option_array,
                         Optional<nb::str> default_answer, Optional<nb::str> title, nb::handle allow_all) {
    nb::object click = c.global(names::click);
    if (!title.is_none() && PyUnicode_GET_LENGTH(title.handle().ptr()) > 0) {
        echo(click, concat({"\n", title.handle(), "："}));
    }
    // Showing an option may run Python code (its str()) that changes the list: sizes are read anew.
    for (Py_ssize_t index = 0; index < list_size(option_array); ++index) {
        nb::object option = nb::borrow(list_item(option_array, index));
        nb::object number = require(PyLong_FromSsize_t(index + 1));
        echo(click, concat({"  [", number, "] ", option}));
    }
    nb::object answers = require(PyList_New(0));
    for (Py_ssize_t index = 1; index <= list_size(option_array); ++index) {
        require_status(PyList_Append(answers.ptr(), require(PyUnicode_FromFormat("%zd", index)).ptr()));
    }
    const bool all_allowed = truthy(allow_all);
    if (all_allowed) require_status(PyList_Append(answers.ptr(), literal("all").ptr()));
    nb::object text =
        all_allowed ? concat({"\n", prompt_text, " (或輸入 'all' 代表全部)"}) : concat({"\n", prompt_text});
    nb::object choice = call(attr(click, names::Choice), {answers});
    nb::object answer = call_method(click, names::prompt, {text},
                                    {{names::type, choice}, {names::default_, default_answer.handle()}});
    if (require_status(PyObject_RichCompareBool(answer.ptr(), literal("all").ptr(), Py_EQ))) {
        return nb::borrow(literal("all"));
    }
    nb::object position = require(PyNumber_Long(answer.ptr()));
    nb::object index = require(PyNumber_Subtract(position.ptr(), require(PyLong_FromLong(1)).ptr()));
    return require(PyObject_GetItem(option_array.ptr(), index.ptr()));
}

constexpr Function kSelectOption{
    "select_option",
    body<select_option>,
    {Param{"prompt_text", Rule::str, "str"}, Param{"option_array", Rule::list, "list[str]"},
     Param{"default", Rule::str, "str", Default::none()}, Param{"title", Rule::str, "str", Default::none()},
     Param{"allow_all", Rule::any, "bool", Default::boolean(false)}},
    Returns{"str", Rule::str},
    "顯示編號選單並讓使用者輸入編號（allow_all 時也可輸入 'all'），回傳選到的選項或 \"all\"。\n\n"
    "    無效的輸入會要求重新輸入；default 為直接按 Enter 時採用的答案（例如 \"1\"）。\n\n"
    "    範例：\n"
    "        mode = select_option(\"請選擇模式\", [\"快速\", \"完整\"], default=\"1\")"};
const Published kPublishSelectOption{kSelectOption, 28};

// What the user typed in the editor, without the marker; an empty text when nothing was saved.
nb::object get_user_input_via_editor(Call& c, nb::str marker, nb::str label, nb::handle logger) {
    nb::object chosen = choose_logger(c, logger);
    log_to(chosen, names::debug, concat({"正在開啟編輯器獲取 ", label, "..."}));
    nb::object edited = call_method(c.global(names::click), names::edit, {marker});
    if (edited.is_none()) return nb::borrow(literal(""));
    return stand_ins::strip(stand_ins::replace(edited, marker, literal("")));
}

constexpr Function kGetUserInputViaEditor{
    "get_user_input_via_editor",
    body<get_user_input_via_editor>,
    {Param{"marker", Rule::str, "str"}, Param{"label", Rule::str, "str", Default::text("輸入內容")}, kLogger},
    Returns{"str", Rule::str},
    "開啟文字編輯器（依 VISUAL、EDITOR 環境變數）讓使用者輸入內容，回傳移除所有 marker\n"
    "    並去除前後空白後的文字；未存檔就關閉時回傳空字串。\n\n"
    "    範例：\n"
    "        text = get_user_input_via_editor(\"# 請在下方輸入內容，本行會自動移除\")"};
const Published kPublishGetUserInputViaEditor{kGetUserInputViaEditor, 5};

}  // namespace

}  // namespace quillkit::cargohold
