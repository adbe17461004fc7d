// The interned names only quillkit.chronicle looks up, each defined once.
#pragma once

#include "../support/interned_names.hpp"

namespace quillkit::names {

inline const Name _cache{"_cache"};
inline const Name _child{"_child"};
inline const Name _default{"_default"};
inline const Name _emit{"_emit"};
inline const Name _fmt_by_level{"_fmt_by_level"};
inline const Name _l{"_l"};
inline const Name addHandler{"addHandler"};
inline const Name base_name_global{"_BASE_NAME"};
inline const Name clear{"clear"};
inline const Name datefmt{"datefmt"};
inline const Name disabled{"disabled"};
inline const Name dunder_class{"__class__"};
inline const Name dunder_init{"__init__"};
inline const Name exc_info{"exc_info"};
inline const Name FileHandler{"FileHandler"};
inline const Name fmt{"fmt"};
inline const Name format{"format"};
inline const Name Formatter{"Formatter"};
inline const Name get_logger{"get_logger"};
inline const Name getLogger{"getLogger"};
inline const Name handlers{"handlers"};
inline const Name isEnabledFor{"isEnabledFor"};
inline const Name lazy_logger_class{"_LazyLogger"};
inline const Name level{"level"};
inline const Name level_critical{"CRITICAL"};
inline const Name level_debug{"DEBUG"};
inline const Name level_error{"ERROR"};
inline const Name level_info{"INFO"};
inline const Name level_warning{"WARNING"};
inline const Name levelno{"levelno"};
inline const Name LevelSwitchingFormatter{"LevelSwitchingFormatter"};
inline const Name Logger{"Logger"};
inline const Name loggerDict{"loggerDict"};
inline const Name logging{"logging"};
inline const Name manager{"manager"};
inline const Name Manager{"Manager"};
inline const Name PlaceHolder{"PlaceHolder"};
inline const Name propagate{"propagate"};
inline const Name removeHandler{"removeHandler"};
inline const Name root{"root"};
inline const Name setFormatter{"setFormatter"};
inline const Name setLevel{"setLevel"};
inline const Name stacklevel{"stacklevel"};
inline const Name StreamHandler{"StreamHandler"};

}  // namespace quillkit::names
