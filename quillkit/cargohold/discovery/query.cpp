// What a discovery asks for, and the walk that answers it: the extension and exclusion sets, the
// walk's rules made from a query, and the walk of a start directory into found files.
//
// The walk runs natively (walk.hpp) with the GIL released, on several threads where the process
// has cores for them or the reads wait on the disk; what it cannot decide on bytes alone (a suffix that is not ASCII, a prefix
// that is not plain text) it leaves to the interpreter's own text operations (listing_reader.hpp),
// so the result is exactly the one os.walk and pathlib give.
#include "query.hpp"
#include "../filesystem/name_encoding.hpp"
#include "listing_reader.hpp"
#include "walk.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdlib>

namespace quillkit::cargohold {

namespace {

// Directories the caller's thread visits between two checks for a pending signal (Ctrl-C stops a
// long walk) and two takes of what has been read.
constexpr size_t kDirectoriesPerSlice = 256;

// The threads one walk starts with, at most: with the directories cached, reads stop scaling
// well before.
constexpr size_t kMostThreadsAtStart = 8;

// The most threads one walk uses, with the helpers that join while reads wait on the disk: cold
// reads finish no sooner with more in flight, and the descriptors the threads may hold (32 each)
// would pass half the usual limit of 1,024.
constexpr size_t kMostThreads = 16;

// Forces the number of walk threads (a positive count): for measuring one against several.
constexpr const char* kWalkThreadsVariable = "QUILLKIT_DISCOVERY_THREADS";

// Makes every thread of the walk seem to wait on its reads, as on a cold disk, so that helpers
// join: for testing them.
constexpr const char* kWalkWaitingVariable = "QUILLKIT_DISCOVERY_WAITING";

// `values` as a for statement iterates them, except that a lone text counts as a one-element
// list.
nb::object as_items(nb::handle values) {
    return PyUnicode_Check(values.ptr()) ? require(PyTuple_Pack(1, values.ptr())) : nb::borrow(values);
}

// The member of the extension set an extension gives: `item.lower()`, with a "." put in front
// unless it begins with one. An exact ASCII text is lowered here, as str.lower lowers it.
nb::object extension_member(nb::handle item) {
    PyObject* text = item.ptr();
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        const auto* from = static_cast<const char*>(PyUnicode_DATA(text));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const bool dotted = length > 0 && from[0] == '.';
        nb::object member = require(PyUnicode_New(length + (dotted ? 0 : 1), 127));
        char* to = static_cast<char*>(PyUnicode_DATA(member.ptr()));
        if (!dotted) *to++ = '.';
        for (Py_ssize_t index = 0; index < length; ++index)
            to[index] = static_cast<char>(Py_TOLOWER(from[index]));
        return member;
    }
    nb::object lowered = call_method(item, names::lower);
    if (truthy(call_method(lowered, names::startswith, {literal(".")}))) return lowered;
    return require(PyNumber_Add(literal(".").ptr(), lowered.ptr()));
}

}  // namespace

nb::object extension_set(nb::handle extensions) {
    nb::object set = require(PySet_New(nullptr));
    if (extensions.is_none()) return set;
    for_each_item(as_items(extensions), [&](nb::handle item) {
        require_status(PySet_Add(set.ptr(), extension_member(item).ptr()));
    });
    return set;
}

nb::object exclusion_set(nb::handle abspath, nb::handle exclude_paths) {
    nb::object set = require(PySet_New(nullptr));
    if (!truthy(exclude_paths)) return set;
    for_each_item(as_items(exclude_paths), [&](nb::handle item) {
        nb::object entry = call_method(call(abspath, {item}), names::rstrip, {literal("/")});
        require_status(PySet_Add(set.ptr(), entry.ptr()));
    });
    return set;
}

namespace {

// True when every member of the set is an exact text, whose hash and comparison run no Python code.
bool holds_exact_texts(nb::handle set) {
    bool exact = true;
    for_each_item(set, [&](nb::handle entry) {
        exact = PyUnicode_CheckExact(entry.ptr());
        return exact;
    });
    return exact;
}

// True when the absolute path begins with an excluded path and "/". For exact texts, that is
// when its text before one of its "/" is in the set: one look-up per component.
bool lies_below_excluded(nb::handle exclude_set, nb::handle absolute) {
    if (PyUnicode_CheckExact(absolute.ptr()) && holds_exact_texts(exclude_set)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(absolute.ptr());
        for (Py_ssize_t slash = 0;; ++slash) {
            slash = PyUnicode_FindChar(absolute.ptr(), '/', slash, length, 1);
            if (slash == -2) throw nb::python_error();
            if (slash == -1) return false;
            nb::object above = require(PyUnicode_Substring(absolute.ptr(), 0, slash));
            if (require_status(PySet_Contains(exclude_set.ptr(), above.ptr()))) return true;
        }
    }
    bool below = false;
    for_each_item(exclude_set, [&](nb::handle entry) {
        below = truthy(call_method(absolute, names::startswith, {concat({entry, "/"})}));
        return !below;
    });
    return below;
}

}  // namespace

bool is_excluded(nb::handle abspath, nb::handle exclude_set, nb::handle target) {
    if (PySet_GET_SIZE(exclude_set.ptr()) == 0) return false;
    nb::object absolute = call(abspath, {target});
    if (require_status(PySet_Contains(exclude_set.ptr(), absolute.ptr()))) return true;
    return lies_below_excluded(exclude_set, absolute);
}

namespace {

// The members of the extension set the walk can test on bytes: ASCII texts, whose characters
// are their bytes (a NUL included). Anything but exact texts leaves every suffix to the set's
// own membership test.
void add_ascii_extensions(nb::handle extensions, walk::Rules& rules) {
    rules.extensions.reserve(static_cast<size_t>(PySet_GET_SIZE(extensions.ptr())));
    for_each_item(extensions, [&](nb::handle extension) {
        if (!PyUnicode_CheckExact(extension.ptr())) {
            rules.suffixes_in_text = true;
        } else if (PyUnicode_IS_ASCII(extension.ptr())) {
            rules.extensions.insert(
                std::string_view(static_cast<const char*>(PyUnicode_DATA(extension.ptr())),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(extension.ptr()))));
        }
    });
}

// The parts of the exclusion set that can apply below the start directory, as paths relative
// to it: an entry can only equal a path below the start when it begins with the start's
// absolute form and a separator, and only what follows matters. (Entries above the start were
// handled before the walk: they exclude the whole start directory.)
void add_relative_exclusions(const Query& query, walk::Rules& rules) {
    nb::object base = filesystem::child_prefix(call(query.abspath, {query.start_text}));
    const Py_ssize_t base_length = PyUnicode_GET_LENGTH(base.ptr());
    for_each_item(query.exclude_set, [&](nb::handle entry) {
        if (!PyUnicode_Check(entry.ptr()) || PyUnicode_GET_LENGTH(entry.ptr()) <= base_length) return;
        if (require_status(PyUnicode_Tailmatch(entry.ptr(), base.ptr(), 0, base_length, -1)) == 0) return;
        nb::object relative = require(PyUnicode_Substring(entry.ptr(), base_length, PY_SSIZE_T_MAX));
        std::optional<std::string> bytes = filesystem::encode_exactly(relative);
        if (!bytes) return;  // no name read from the system decodes to this text
        for (size_t slash = bytes->find('/'); slash != std::string::npos;
             slash = bytes->find('/', slash + 1)) {
            rules.holds_excluded.insert(bytes->substr(0, slash));
        }
        rules.holds_excluded.insert(std::string());
        rules.excluded.insert(std::move(*bytes));
    });
}

// Lets the walk test the prefix on bytes where that decides as str.startswith would: a text
// without surrogates under UTF-8 names. Gives the prefix the text tests still need, or nothing.
nb::handle set_prefix_rule(nb::handle prefix, bool utf8, walk::Rules& rules) {
    if (!truthy(prefix)) return nb::handle();
    if (!utf8 || !PyUnicode_Check(prefix.ptr())) return prefix;
    Py_ssize_t size;
    const char* bytes = PyUnicode_AsUTF8AndSize(prefix.ptr(), &size);
    if (!bytes) {
        // Surrogates have no UTF-8 form: str.startswith decides on the decoded names.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        return prefix;
    }
    rules.prefix_in_bytes = true;
    rules.prefix.assign(bytes, static_cast<size_t>(size));
    return nb::handle();
}

// The threads of one walk: the count QUILLKIT_DISCOVERY_THREADS forces, else one per core this
// process may run on to start with, and more while reads wait.
walk::ThreadPlan walk_threads() {
    walk::ThreadPlan plan;
    const char* waiting = std::getenv(kWalkWaitingVariable);
    plan.always_waiting = waiting && *waiting;
    if (const char* forced = std::getenv(kWalkThreadsVariable)) {
        char* end = nullptr;
        const long count = std::strtol(forced, &end, 10);
        if (end != forced && *end == '\0' && count > 0) {
            plan.threads = plan.most_threads = std::min<size_t>(count, kMostThreads);
            return plan;
        }
    }
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) == 0) {
        plan.threads = std::clamp<size_t>(CPU_COUNT(&cores), 1, kMostThreadsAtStart);
    }
    plan.most_threads = kMostThreads;
    return plan;
}

// Runs the walk to its end in slices on the caller's thread with the GIL released; between two,
// a check for signals and a take of what has been read.
void run_walk(walk::Walk& walk, ListingReader& reader) {
    for (;;) {
        const bool over = without_gil([&] { return walk.advance(kDirectoriesPerSlice); });
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
        reader.take_ready(walk.root());
        if (over) break;
    }
    without_gil([&] { walk.stop(); });  // the helpers are on their way out: wait for them
    if (!reader.take_ready(walk.root())) raise(PyExc_SystemError, "the walk ended with directories unread");
}

}  // namespace

bool collect_from_directory(const Query& query, FoundFiles& found) {
    const bool recursive = truthy(query.recursive);
    const bool utf8 = filesystem::utf8_names();
    walk::Rules rules;
    rules.recursive = recursive;
    rules.order = query.by_datecode ? walk::Order::as_walked : walk::Order::by_path;
    rules.suffixes_in_text = !utf8;
    if (query.rules) rules.dots = query.rules->dots;
    add_ascii_extensions(query.extensions, rules);
    if (PySet_GET_SIZE(query.exclude_set.ptr()) > 0) add_relative_exclusions(query, rules);
    const TextTests tests{query.extensions, set_prefix_rule(query.prefix, utf8, rules), query.path_class};
    if (PySet_GET_SIZE(query.extensions.ptr()) == 0) return true;  // nothing can match

    // The caller found a directory there, so the text has bytes.
    const std::optional<std::string> start = filesystem::encode(query.start_text);
    if (!start) raise(PyExc_SystemError, "the start directory has no file-system name");
    walk::Walk walk(*start, rules, walk_threads());
    ListingReader reader(query.start_text, tests, found);
    try {
        run_walk(walk, reader);
    } catch (const std::exception&) {  // a thread being ended leaves the stop to ~Walk
        without_gil([&] { walk.stop(); });
        throw;
    }
    return rules.order == walk::Order::by_path && utf8 && reader.all_strict_utf8();
}

}  // namespace quillkit::cargohold
