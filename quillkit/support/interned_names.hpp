// The interned names more than one module (or the shared layer itself) looks up, each defined once.
#pragma once

#include "python_operations.hpp"

namespace quillkit::names {

inline const Name annotation{"annotation"};
inline const Name debug{"debug"};
inline const Name default_{"default"};
inline const Name dunder_name{"__name__"};
inline const Name empty{"empty"};
inline const Name encoding{"encoding"};
inline const Name error{"error"};
inline const Name get{"get"};
inline const Name info{"info"};
inline const Name inspect{"inspect"};
inline const Name KEYWORD_ONLY{"KEYWORD_ONLY"};
inline const Name log{"log"};
inline const Name name{"name"};
inline const Name Parameter{"Parameter"};
inline const Name return_{"return"};
inline const Name POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"};
inline const Name return_annotation{"return_annotation"};
inline const Name Signature{"Signature"};
inline const Name stdout_{"stdout"};
inline const Name sys{"sys"};
inline const Name utf_8{"utf-8"};
inline const Name VAR_KEYWORD{"VAR_KEYWORD"};
inline const Name VAR_POSITIONAL{"VAR_POSITIONAL"};
inline const Name warning{"warning"};

}  // namespace quillkit::names
