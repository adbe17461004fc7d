// What the configuration and metadata bodies share: reading a text file through the built-in
// open used as a context manager.
#pragma once

#include "../cargohold.hpp"

namespace quillkit::cargohold {

namespace text_file_reading {
// Calls the file's __exit__ as the with statement does; true when it suppresses `failure`.
inline bool exit_file(nb::handle file, const nb::python_error* failure) {
    if (!failure) {
        call_method(file, names::dunder_exit, {Py_None, Py_None, Py_None});
        return false;
    }
    nb::object traceback = failure->traceback();
    return truthy(call_method(file, names::dunder_exit,
                              {failure->type(), failure->value(),
                               traceback.is_valid() ? nb::handle(traceback) : nb::handle(Py_None)}));
}
}  // namespace text_file_reading

// What `body(f)` gives inside `with open(path, "r", encoding="utf-8") as f:`, with `open` looked
// up at call time, so that the file is closed on every way out. A failure of the body reaches
// the file's __exit__ first; when __exit__ suppresses it, the block is left without a result and
// the null object is returned, for the caller to go on after the block.
template <class Body> nb::object with_open_text(Call& c, nb::handle path, Body&& body) {
    using namespace text_file_reading;
    nb::object file = call(c.global(names::open), {path, names::read_mode.handle()},
                           {{names::encoding, names::utf_8.handle()}});
    nb::object entered = call_method(file, names::dunder_enter);
    nb::object result;
    try {
        result = body(nb::handle(entered));
    } catch (nb::python_error& failure) {
        if (!exit_file(file, &failure)) throw;
        return nb::object();
    }
    exit_file(file, nullptr);
    return result;
}

}  // namespace quillkit::cargohold
