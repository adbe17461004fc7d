// The layout of a function object, shared by the binder (function.cpp) and the type's
// attributes and introspection (function_type.cpp). Nothing outside support/ sees it.
#pragma once

#include "function.hpp"

namespace quillkit {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Function* declaration;
    PyObject* module;
    PyObject* globals;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple of the defaults of the trailing normal parameters, or NULL
    PyObject* annotations;  // dict
    PyObject* signature;    // inspect.Signature, made on first request
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* cells[kMaxCells];  // the closure: owned, each may be NULL; reached by the body only
    size_t cell_count;
    Py_ssize_t positional_count;  // normal parameters
    Py_ssize_t named_count;       // normal and keyword-only parameters
    Py_ssize_t first_default;     // the first normal parameter with a default
    bool has_var_positional;
    bool has_var_keyword;
    bool none_allowed[kMaxParameters];         // exact-type rules that also take None
    const Param* named[kMaxParameters];        // named parameters in slot order
    PyObject* names[kMaxParameters];           // their interned names
    PyObject* default_values[kMaxParameters];  // owned; NULL where required
};

// The vectorcall entry point: binds the arguments, applies the rules, runs the body.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* keyword_names);

// The slot of the named parameter called `keyword`; -1 when there is none. Throws what a
// comparison of names raised.
Py_ssize_t find_parameter(const FunctionObject* self, PyObject* keyword);

// The type of this module's function objects (make_function_type makes it).
PyTypeObject* function_type();

}  // namespace quillkit
