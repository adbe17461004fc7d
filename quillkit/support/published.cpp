// The registry of published functions declared in published.hpp.
#include "published.hpp"

#include <algorithm>
#include <vector>

namespace quillkit {

namespace {

// The last function registered in this extension; constant-initialised, so that registrations
// made while the extension is loaded, in whatever order its files run them, all find it.
const Published* g_last_registered = nullptr;

// The registered functions in position order; ImportError when a position is free or taken twice.
std::vector<const Published*> in_position_order(nb::handle module) {
    std::vector<const Published*> registered;
    for (const Published* entry = g_last_registered; entry; entry = entry->next())
        registered.push_back(entry);
    std::sort(registered.begin(), registered.end(), [](const Published* left, const Published* right) {
        return left->position() < right->position();
    });
    const char* module_name = PyModule_GetName(module.ptr());
    if (!module_name) throw nb::python_error();
    for (size_t index = 0; index < registered.size(); ++index) {
        const Published& entry = *registered[index];
        const size_t expected = index + 1;  // the positions before are 1 to index, each once
        if (entry.position() > expected) {
            raise(PyExc_ImportError, "%s: no function is published at position %zu", module_name, expected);
        }
        if (entry.position() < expected && index == 0) {
            raise(PyExc_ImportError, "%s: %s is published at position 0; the first is 1", module_name,
                  entry.declaration().name);
        }
        if (entry.position() < expected) {
            raise(PyExc_ImportError, "%s: %s and %s are both published at position %zu", module_name,
                  registered[index - 1]->declaration().name, entry.declaration().name, entry.position());
        }
    }
    return registered;
}

}  // namespace

Published::Published(const Function& declaration, size_t position) noexcept
    : declaration_(declaration), position_(position), next_(g_last_registered) {
    g_last_registered = this;
}

void add_published_functions(nb::handle module, size_t first, size_t last) {
    for (const Published* entry : in_position_order(module)) {
        if (entry->position() < first || entry->position() > last) continue;
        const Function& declaration = entry->declaration();
        nb::object function = make_function(module, declaration);
        require_status(PyModule_AddObjectRef(module.ptr(), declaration.name, function.ptr()));
    }
}

}  // namespace quillkit
