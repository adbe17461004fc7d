// Stand-ins for the str methods the bodies call: replace and strip.
//
// May include: support/.
#pragma once

#include "../../support/python_operations.hpp"

namespace quillkit::cargohold::stand_ins {

// `text.replace(old, new)` and `text.strip()`: natively for an exact str (whose methods no
// program can replace), through the object's own method for anything else.
nb::object replace(nb::handle text, nb::handle old, nb::handle replacement);
nb::object strip(nb::handle text);

}  // namespace quillkit::cargohold::stand_ins
