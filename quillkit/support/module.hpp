// Start-up helpers: imports with the interpreter's own semantics, module globals, and classes
// made the way a class statement makes them.
#pragma once

#include "python.hpp"

#include <utility>
#include <vector>

namespace quillkit {

// Starts nanobind's run-time support for this extension once (its error objects release their
// Python references only once it runs). It is anchored in a private module object, not in the
// extension's own namespace, which must hold only the globals the module promises.
void start_nanobind(const char* extension_name);

// `import name` for a dotted name: the top-level package, as the statement binds it.
nb::object import_top_level(const char* name);

// `import name`, giving the named module itself.
nb::object import_module(const char* name);

// `from module import name`, with the interpreter's ImportError when the name is missing.
nb::object import_from(const char* module, const char* name);

// Binds a module global; globals keep the order in which they are bound.
void set_global(nb::handle module, const char* name, nb::handle value);

// One entry of a class namespace, in class-body order.
using ClassEntry = std::pair<const char*, nb::object>;

// `type(name, bases, namespace)` with `__module__` and `__qualname__` first, as a class
// statement in `module` would make it.
nb::object make_class(nb::handle module, const char* name, nb::handle bases,
                      const char* doc, std::vector<ClassEntry> body);

// `property(getter)`
nb::object make_property(nb::handle getter);

}  // namespace quillkit
