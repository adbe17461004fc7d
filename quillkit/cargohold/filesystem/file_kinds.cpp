// The stat declared in file_kinds.hpp.
#include "file_kinds.hpp"

#include "../../support/system_calls.hpp"
#include "name_encoding.hpp"

#include <sys/stat.h>

#include <cstring>
#include <optional>
#include <string>

namespace quillkit::cargohold::filesystem {

namespace {

// The bytes of a str or bytes path as the system takes them; nothing when the library's call
// would refuse the text (it answers False to a test).
std::optional<std::string> system_path(nb::handle path) {
    if (PyBytes_Check(path.ptr())) {  // a subclass's bytes cannot change either
        const char* data = PyBytes_AS_STRING(path.ptr());
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(path.ptr()));
        if (std::memchr(data, '\0', size)) return std::nullopt;
        return std::string(data, size);
    }
    return encode(path);
}

}  // namespace

Kind kind_of(nb::handle path) {
    std::optional<std::string> bytes = system_path(path);
    if (!bytes) return Kind::missing;
    struct stat status;
    SystemCalls calls;
    const Outcome outcome = calls.run([&] { return stat(bytes->c_str(), &status); });
    if (outcome.failed()) return is_missing_stat_error(outcome.error) ? Kind::missing : Kind::unusual;
    if (S_ISDIR(status.st_mode)) return Kind::directory;
    if (S_ISREG(status.st_mode)) return Kind::regular_file;
    return Kind::other;
}

}  // namespace quillkit::cargohold::filesystem
