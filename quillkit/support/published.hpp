// A module's functions, each registered where it is declared with its place in the module's
// namespace, and published by the module's start-up in the order of those places.
//
// A body and its declaration stand together in the file of their subsystem; nothing else names
// them. `const Published kPublishGetUniquePath{kGetUniquePath, 11};` below the declaration makes
// it the module's eleventh function. The registration runs while the extension is loaded, before
// any start-up; every extension (each links this layer of its own) keeps its own list.
#pragma once

#include "function.hpp"

#include <cstddef>
#include <cstdint>

namespace quillkit {

class Published {
public:
    // Registers `declaration` as the module's function at `position` (1, 2, ...: its place among
    // the functions the module publishes).
    Published(const Function& declaration, size_t position) noexcept;
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const Function& declaration() const { return declaration_; }
    size_t position() const { return position_; }
    const Published* next() const { return next_; }

private:
    const Function& declaration_;
    size_t position_;
    const Published* next_;  // the one registered before
};

// Makes and binds the registered functions whose positions run from `first` to `last`, in
// position order. Before binding any, an ImportError when the registered positions are not 1, 2,
// ... each taken once: it names the position left free or the functions that share one.
void add_published_functions(nb::handle module, size_t first = 1, size_t last = SIZE_MAX);

}  // namespace quillkit
