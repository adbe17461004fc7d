// The relay frames through which records reach the logging facility.
//
// The logging facility names a record's source by counting interpreter frames up from its own
// code, and native code has none. Two small Python frames stand where a Python wrapper's
// `_emit` and level method would, so the promised stack level of 3 names the line that called
// the lazy logger, and a stack level chosen by the caller counts as it would there. Fixed-arity
// relays carry the common calls (up to two message arguments) without packing them.
#include "chronicle.hpp"

namespace quillkit::chronicle {

namespace {

Name kStacklevel{"stacklevel"};

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

// The positional arguments `c` collected, as a tuple.
nb::object extra_tuple(Call& c) {
    nb::object args = require(PyTuple_New(c.extra_count()));
    for (Py_ssize_t index = 0; index < c.extra_count(); ++index) {
        PyTuple_SET_ITEM(args.ptr(), index, Py_NewRef(c.extra()[index]));
    }
    return args;
}

// The keyword arguments `c` collected, without `stacklevel`, after `stacklevel` when one is
// given.
nb::object record_keywords(Call& c, nb::handle stacklevel) {
    nb::object keywords = require(PyDict_New());
    if (stacklevel.is_valid()) {
        require_status(PyDict_SetItem(keywords.ptr(), kStacklevel.ptr(), stacklevel.ptr()));
    }
    c.for_each_extra_keyword([&](nb::handle name, nb::handle value) {
        if (!require_status(PyObject_RichCompareBool(name.ptr(), kStacklevel.ptr(), Py_EQ))) {
            require_status(PyDict_SetItem(keywords.ptr(), name.ptr(), value.ptr()));
        }
    });
    return keywords;
}

}  // namespace

void make_relays(nb::handle module, State& state) {
    static Name module_name{"__name__"};
    nb::object code = require(Py_CompileString(kRelaySource, "<quillkit.chronicle>", Py_file_input));
    nb::object namespace_ = require(PyDict_New());
    require_status(PyDict_SetItemString(namespace_.ptr(), "__builtins__", PyEval_GetBuiltins()));
    require_status(PyDict_SetItemString(namespace_.ptr(), "__name__", attr(module, module_name).ptr()));
    require(PyEval_EvalCode(code.ptr(), namespace_.ptr(), namespace_.ptr()));
    auto take = [&](const char* name) {
        PyObject* function = PyDict_GetItemString(namespace_.ptr(), name);  // borrowed
        if (!function) raise(PyExc_SystemError, "the relay %s is missing", name);
        return Py_NewRef(function);
    };
    state.relay_fixed[0] = take("relay0");
    state.relay_fixed[1] = take("relay1");
    state.relay_fixed[2] = take("relay2");
    state.relay_args = take("relay_args");
    state.relay_general = take("relay_general");
}

void deliver(Call& c, nb::handle logger, nb::handle level, nb::handle msg, nb::handle stacklevel,
             bool other_keywords) {
    const State& state = c.state<State>();
    const Py_ssize_t count = c.extra_count();
    if (stacklevel.is_valid() && !other_keywords) {
        if (count < kFixedRelays) {
            PyObject* stack[1 + 3 + kFixedRelays + 1];
            PyObject** arguments = stack + 1;
            Py_ssize_t position = 0;
            arguments[position++] = logger.ptr();
            arguments[position++] = level.ptr();
            arguments[position++] = msg.ptr();
            for (Py_ssize_t index = 0; index < count; ++index) arguments[position++] = c.extra()[index];
            arguments[position++] = stacklevel.ptr();
            require(PyObject_Vectorcall(state_field(state.relay_fixed[count]).ptr(), arguments,
                                        static_cast<size_t>(position) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr));
        } else {
            call(state_field(state.relay_args), {logger, level, msg, extra_tuple(c), stacklevel});
        }
        return;
    }
    call(state_field(state.relay_general), {logger, level, msg, extra_tuple(c), record_keywords(c, stacklevel)});
}

}  // namespace quillkit::chronicle
