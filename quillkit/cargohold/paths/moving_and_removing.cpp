// Moving and removing: force-moving a file with an optional backup, and removing a file or a
// directory tree with one retry for entries that refuse to go because they are read-only.
#include "../cargohold.hpp"
#include "../stand_ins/file_queries.hpp"

namespace quillkit::cargohold {

namespace {

// The first interpreter whose rmtree takes `onexc` (before it, `onerror`).
constexpr struct {
    int major, minor;
} kOnexcSince{3, 12};

// `import name`, as the statement does it inside a function: on every call, through __import__.
nb::object import_now(const Name& name) { return require(PyImport_Import(name.ptr())); }

using stand_ins::Queries;

// ---------------------------------------------------------------------------------------------
// The read-only retry

// One more attempt at removing `target` after its permission bits are set to exactly owner-write
// (`stat.S_IWRITE`), which is what clears a read-only entry. The bits it had are read first, so
// that an entry the retry leaves behind gets them back: what could not be removed must not come
// out unreadable. Reading and restoring them are best effort.
//
// A symbolic link keeps every mode as it is: chmod would change the file the link points to,
// which may lie outside the tree, and a link's removal depends on its directory alone.
class WritableRetry {
public:
    WritableRetry(Call& c, nb::handle stat, nb::handle target) : os_(c.global(names::os)), target_(target) {
        if (truthy(call_method(attr(os_, names::path), names::islink, {target}))) return;
        try {
            nb::object status = call_method(os_, names::stat, {target});
            previous_ = call_method(stat, names::stat_S_IMODE, {attr(status, names::st_mode)});
        } catch (nb::python_error& error) {
            if (!is_exception(error)) throw;  // unknown bits cannot be restored; go on without
        }
        call_method(os_, names::chmod, {target, attr(stat, names::stat_S_IWRITE)});
        changed_ = true;
    }

    // Runs the retry; when it raises, the previous bits go back before its error travels on.
    template <class Retry> void attempt(Retry&& retry) {
        try {
            retry();
        } catch (nb::python_error&) {
            restore();
            throw;
        }
    }

    void restore() {
        if (!changed_ || !previous_.is_valid()) return;
        try {
            call_method(os_, names::chmod, {target_, previous_});
        } catch (nb::python_error& error) {
            if (!is_exception(error)) throw;
        }
    }

private:
    nb::object os_;
    nb::handle target_;
    nb::object previous_;
    bool changed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Removing

// The closure of one remove_directory call's handler: the `stat` module that call imported, and
// the text of the first failure the retry could not overcome (empty until there is one).
enum HandlerCell : size_t { kStatCell, kFirstErrorCell };

void remember_first(Call& c, nb::handle error) {
    if (!error.is_valid() || c.cell(kFirstErrorCell).is_valid()) return;
    c.set_cell(kFirstErrorCell, to_str(error));
}

// The exception that rmtree reported: `onexc` passes it, `onerror` passes (type, value, traceback).
nb::handle reported_error(nb::handle exc_info) {
    PyObject* raw = exc_info.ptr();
    if (PyTuple_Check(raw) && PyTuple_GET_SIZE(raw) == 3) raw = PyTuple_GET_ITEM(raw, 1);
    return PyExceptionInstance_Check(raw) ? nb::handle(raw) : nb::handle();
}

// `_handle_readonly(func, path_str, exc_info)`: retries the failed operation once on the entry
// made writable, and swallows what still fails so that the walk goes on with the next entry.
nb::object handle_readonly(Call& c, nb::handle func, nb::handle path_str, nb::handle exc_info) {
    try {
        WritableRetry writable(c, c.cell(kStatCell), path_str);
        writable.attempt([&] { call(func, {path_str}); });
        nb::object os_path = attr(c.global(names::os), names::path);
        if (!truthy(call_method(os_path, names::lexists, {path_str}))) return nb::none();
        // The retry returned but did not remove anything (rmtree refusing a link to a directory
        // tests the link again): the mode change served nothing.
        writable.restore();
        remember_first(c, reported_error(exc_info));
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        // An OSError is the obstacle met again, named by its full path. Anything else means the
        // operation cannot be repeated on a bare path (os.open needs its flags), so the failure
        // worth showing is the one rmtree met.
        nb::handle reported = reported_error(exc_info);
        remember_first(c, error.matches(PyExc_OSError) || !reported.is_valid() ? error.value() : reported);
    }
    return nb::none();
}

constexpr Function kHandleReadonly{
    "_handle_readonly",
    body<handle_readonly>,
    {Param{"func"}, Param{"path_str"}, Param{"exc_info"}},
    Returns{},
    "remove_directory 的錯誤處理：將項目權限設為僅擁有者可寫入後重試一次；仍失敗時還原原本的\n"
    "    權限並略過該項目，記下第一個無法克服的錯誤。"};

// A fresh handler for one remove_directory call, named as a function nested in it.
nb::object make_readonly_handler(Call& c, nb::handle stat) {
    return make_closure(c.module(), kHandleReadonly, "remove_directory.<locals>", {stat, nb::handle()});
}

// The text after the colon of the warning when the tree is still there.
nb::object first_failure(nb::handle handler) {
    const nb::handle recorded = closure_cell(handler, kFirstErrorCell);
    return recorded.is_valid() ? nb::borrow(recorded) : nb::borrow(literal("目錄仍存在"));
}

// Removes a directory tree; missing paths and non-directories are left alone without a word.
nb::object remove_directory(Call& c, nb::handle path_argument) {
    nb::object stat = import_now(names::stat);
    nb::object sys = import_now(names::sys);
    nb::object path = call(c.global(names::Path), {path_argument});
    const Queries before(c, path);  // one stat answers both questions
    if (!before.exists()) return nb::none();
    nb::object handler = make_readonly_handler(c, stat);
    nb::object failure;  // the text after the colon of the warning
    try {
        if (!before.is_dir()) return nb::none();
        // The interpreter in use decides which hook its rmtree takes.
        nb::object version = attr(sys, names::version_info);
        nb::object hook_introduced = require(Py_BuildValue("(ii)", kOnexcSince.major, kOnexcSince.minor));
        const bool has_onexc =
            require_status(PyObject_RichCompareBool(version.ptr(), hook_introduced.ptr(), Py_GE));
        call_method(c.global(names::shutil), names::rmtree, {path},
                    {{has_onexc ? names::onexc : names::onerror, handler}});
        // The handler swallows what it cannot remove, so rmtree returning proves nothing.
        if (!Queries(c, path).exists()) {
            log_to(c.global(names::log), names::info, concat({"✅ 已處理：移除目錄 ", path}));
            return nb::none();
        }
        failure = first_failure(handler);
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        failure = to_str(error.value());
    }
    log_to(c.global(names::log), names::warning, concat({"⚠️ 無法移除目錄 ", path, "：", failure}));
    return nb::none();
}

constexpr Function kRemoveDirectory{
    "remove_directory",
    body<remove_directory>,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除整個目錄樹，無法刪除的項目會先將權限設為僅擁有者可寫入再重試一次。\n\n"
    "    路徑不存在或不是目錄時不做任何事。重試仍失敗的項目會還原原本的權限；目錄未能完全\n"
    "    移除時記錄警告（含第一個無法克服的錯誤），不會拋出例外。\n\n"
    "    範例：\n"
    "        remove_directory(\"./temp_dir\")"};
const Published kPublishRemoveDirectory{kRemoveDirectory, 24};

// Removes one regular file; a PermissionError gets the read-only retry.
nb::object remove_file(Call& c, nb::handle path_argument) {
    nb::object stat = import_now(names::stat);
    nb::object path = call(c.global(names::Path), {path_argument});
    const Queries queries(c, path);  // one stat answers both questions
    if (!queries.exists()) return nb::none();
    try {
        if (!queries.is_file()) return nb::none();
        try {
            call_method(path, names::unlink);
        } catch (nb::python_error& error) {
            if (!error.matches(PyExc_PermissionError)) throw;
            WritableRetry writable(c, stat, path);
            writable.attempt([&] { call_method(path, names::unlink); });
        }
        log_to(c.global(names::log), names::info, concat({"✅ 已處理：移除檔案 ", path}));
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(c.global(names::log), names::warning, concat({"⚠️ 無法移除檔案 ", path, "：", error.value()}));
    }
    return nb::none();
}

constexpr Function kRemoveFile{
    "remove_file",
    body<remove_file>,
    {Param{"path", Rule::any, "str | Path"}},
    Returns{"None"},
    "移除單一檔案；權限不足時先將權限設為僅擁有者可寫入再重試一次，仍失敗則還原原本的權限\n"
    "    並記錄警告，不會拋出例外。路徑不存在或不是一般檔案時不做任何事。\n\n"
    "    範例：\n"
    "        remove_file(\"./temp_file.txt\")"};
const Published kPublishRemoveFile{kRemoveFile, 25};

// ---------------------------------------------------------------------------------------------
// Moving

// Whether `place` is the very directory entry of `source` (same name in the same folder):
// deleting it to make room would delete the file about to be copied or moved.
bool same_entry(Call& c, nb::handle source, nb::handle place) {
    if (!require_status(PyObject_RichCompareBool(attr(source, names::name).ptr(),
                                                 attr(place, names::name).ptr(), Py_EQ))) {
        return false;
    }
    nb::object os_path = attr(c.global(names::os), names::path);
    return truthy(
        call_method(os_path, names::samefile, {attr(source, names::parent), attr(place, names::parent)}));
}

// Makes room for a copy of `source` at `place`: the folder is created with its missing parents
// and an existing entry there is deleted, unless it is the source itself.
void make_room(Call& c, nb::handle source, nb::handle place) {
    stand_ins::make_directories(c, attr(place, names::parent));
    if (Queries(c, place).exists() && !same_entry(c, source, place)) {
        call_method(place, names::unlink);
    }
}

// Moves `src` to `dest`, replacing what is there, after copying it to `backup` when one is given.
nb::object force_move_file(Call& c, nb::handle src, nb::handle dest, nb::handle backup) {
    nb::object path_type = c.global(names::Path);
    nb::object source = call(path_type, {src});
    nb::object destination = call(path_type, {dest});
    if (!Queries(c, source).exists()) {
        log_to(c.global(names::log), names::error, concat({"❌ 來源檔案不存在：", source}));
        return nb::none();
    }
    if (truthy(backup)) {
        // A copy of the file about to move, not of the one the move replaces.
        nb::object copy = call(path_type, {backup});
        make_room(c, source, copy);
        call_method(c.global(names::shutil), names::copy2, {source, copy});
        log_to(c.global(names::log), names::info, concat({"✅ 備份成功：", source, " -> ", copy}));
    }
    make_room(c, source, destination);
    call_method(c.global(names::shutil), names::move, {to_str(source), to_str(destination)});
    log_to(c.global(names::log), names::info, concat({"✅ 搬移成功：", source, " -> ", destination}));
    return nb::none();
}

constexpr Function kForceMoveFile{
    "force_move_file",
    body<force_move_file>,
    {Param{"src", Rule::any, "str | Path"}, Param{"dest", Rule::any, "str | Path"},
     Param{"backup", Rule::any, "str | Path", Default::none()}},
    Returns{"None"},
    "強制搬移檔案：自動建立目的資料夾，目的地已有檔案時直接取代（不保留原內容）。\n\n"
    "    提供 backup 時，先將來源檔案複製到 backup（保留時間戳記與權限，自動建立資料夾、取代\n"
    "    既有備份）再搬移。來源不存在時記錄錯誤並返回；其他檔案系統錯誤原樣拋出，已完成的步驟\n"
    "    （例如備份）會保留。\n\n"
    "    範例：\n"
    "        force_move_file(\"src.txt\", \"dest/target.txt\", backup=\"bk/old.txt\")"};
const Published kPublishForceMoveFile{kForceMoveFile, 23};

}  // namespace

}  // namespace quillkit::cargohold
