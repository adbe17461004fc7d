// What discovery shares with the selection dialogue.
#pragma once

#include "../cargohold.hpp"

namespace quillkit::cargohold {

// The extension set of a discovery: every element lower-cased, with a "." put in front when it
// has none; None gives an empty set, and a lone text is one extension (iterating "py" would give
// ".p" and ".y").
nb::object extension_set(nb::handle extensions);

}  // namespace quillkit::cargohold
