// The caller frames: the relay frames through which records reach the logging facility.
//
// The logging facility names a record's source by counting interpreter frames up from its own
// code, and native code has none. Two small Python frames stand where a Python wrapper's
// `_emit` and level method would, so the promised stack level of 3 names the line that called
// the lazy logger, and a stack level chosen by the caller counts as it would there. Fixed-arity
// relays carry the common calls (up to two message arguments) without packing them.
#include "chronicle.hpp"

namespace quillkit::chronicle {

namespace {

const char* const kRelaySource =
    "def relay0(logger, level, msg, stacklevel):\n"
    "    return deliver0(logger, level, msg, stacklevel)\n"
    "\n"
    "def deliver0(logger, level, msg, stacklevel):\n"
    "    return logger.log(level, msg, stacklevel=stacklevel)\n"
    "\n"
    "def relay1(logger, level, msg, a, stacklevel):\n"
    "    return deliver1(logger, level, msg, a, stacklevel)\n"
    "\n"
    "def deliver1(logger, level, msg, a, stacklevel):\n"
    "    return logger.log(level, msg, a, stacklevel=stacklevel)\n"
    "\n"
    "def relay2(logger, level, msg, a, b, stacklevel):\n"
    "    return deliver2(logger, level, msg, a, b, stacklevel)\n"
    "\n"
    "def deliver2(logger, level, msg, a, b, stacklevel):\n"
    "    return logger.log(level, msg, a, b, stacklevel=stacklevel)\n"
    "\n"
    "def relay_args(logger, level, msg, args, stacklevel):\n"
    "    return deliver_args(logger, level, msg, args, stacklevel)\n"
    "\n"
    "def deliver_args(logger, level, msg, args, stacklevel):\n"
    "    return logger.log(level, msg, *args, stacklevel=stacklevel)\n"
    "\n"
    "def relay_general(logger, level, msg, args, kwargs):\n"
    "    return deliver_general(logger, level, msg, args, kwargs)\n"
    "\n"
    "def deliver_general(logger, level, msg, args, kwargs):\n"
    "    return logger.log(level, msg, *args, **kwargs)\n";

// The keyword arguments of the record for `logger.log`: its `stacklevel` (when there is one)
// first, then the caller's own, without theirs.
nb::object record_keywords(const Record& record) {
    nb::object keywords = require(PyDict_New());
    if (record.stacklevel.is_valid()) {
        require_status(PyDict_SetItem(keywords.ptr(), names::stacklevel.ptr(), record.stacklevel.ptr()));
    }
    record.kwargs.for_each([&](nb::handle name, nb::handle value) {
        if (!require_status(PyObject_RichCompareBool(name.ptr(), names::stacklevel.ptr(), Py_EQ))) {
            require_status(PyDict_SetItem(keywords.ptr(), name.ptr(), value.ptr()));
        }
    });
    return keywords;
}

// Whether the caller gave keywords besides `stacklevel`.
bool has_other_keywords(const Record& record) {
    bool other = false;
    record.kwargs.for_each([&](nb::handle name, nb::handle) {
        other =
            other || !require_status(PyObject_RichCompareBool(name.ptr(), names::stacklevel.ptr(), Py_EQ));
    });
    return other;
}

}  // namespace

void make_relays(nb::handle module, State& state) {
    nb::object code = require(Py_CompileString(kRelaySource, "<quillkit.chronicle>", Py_file_input));
    nb::object namespace_ = require(PyDict_New());
    require_status(PyDict_SetItemString(namespace_.ptr(), "__builtins__", PyEval_GetBuiltins()));
    require_status(
        PyDict_SetItemString(namespace_.ptr(), "__name__", attr(module, names::dunder_name).ptr()));
    require(PyEval_EvalCode(code.ptr(), namespace_.ptr(), namespace_.ptr()));
    auto take = [&](const char* name) {
        return require(PyMapping_GetItemString(namespace_.ptr(), name)).release().ptr();
    };
    state.relay_fixed[0] = take("relay0");
    state.relay_fixed[1] = take("relay1");
    state.relay_fixed[2] = take("relay2");
    state.relay_args = take("relay_args");
    state.relay_general = take("relay_general");
}

void deliver(Call& c, nb::handle logger, const Record& record) {
    const State& state = c.state<State>();
    if (!record.stacklevel.is_valid() || has_other_keywords(record)) {
        call(state_field(state.relay_general),
             {logger, record.level, record.msg, record.args.tuple(), record_keywords(record)});
        return;
    }
    if (record.args.size() >= kFixedRelays) {
        call(state_field(state.relay_args),
             {logger, record.level, record.msg, record.args.tuple(), record.stacklevel});
        return;
    }
    ArgumentStack stack;
    stack.add(logger);
    stack.add(record.level);
    stack.add(record.msg);
    stack.add(record.args.data(), record.args.size());
    stack.add(record.stacklevel);
    stack.call(state_field(state.relay_fixed[record.args.size()]));
}

}  // namespace quillkit::chronicle
