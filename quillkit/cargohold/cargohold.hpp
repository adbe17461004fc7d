// What the files of quillkit.cargohold share: the declarations of its functions, grouped by
// the file that holds their bodies, and the helpers every body uses.
#pragma once

#include "../support/function.hpp"
#include "interned_names.hpp"
#include "stand_ins/guards.hpp"

namespace quillkit::cargohold {

// The module state: what start-up bound, so that a body can tell whether a program has replaced
// it since (then the replacement is called) or not (then the work may be done natively).
struct State {
    stand_ins::Originals originals;  // what the stand-ins are compared with
    stand_ins::Seen plain;           // the plain values: what the last comparison found
};

// What get_path_type answers: 0 for a directory, 1 for a regular file (None for the rest).
enum class PathKind : long { directory = 0, regular_file = 1 };
nb::object path_kind(PathKind kind);
// Whether a result of get_path_type (a replaced one may give anything) equals `kind`.
bool is_path_kind(nb::handle result, PathKind kind);

// `text` (a str) when it already starts with ".", else "." + text: an extension as a suffix.
inline nb::object dotted(nb::handle text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) && PyUnicode_READ_CHAR(text.ptr(), 0) == '.') {
        return nb::borrow(text);
    }
    return concat({".", text});
}

// Parameters many functions share.
inline constexpr Param kLogger{"logger", Rule::any, nullptr, Default::none()};
inline constexpr Param kLabel{"label", Rule::str, "str", Default::text("檔案")};

// The `logger` argument when it is true, else the module logger `log`.
nb::object choose_logger(Call& c, nb::handle logger);

// content/content.cpp: local files, load-or-download, the registry download, code extraction.
extern const Function kLoadLocalFileContent;
extern const Function kSaveLocalFileContent;
extern const Function kLoadOrDownloadContent;
extern const Function kDownloadAndSaveFromRegistry;
extern const Function kExtractAndSaveCode;

// content/github_download.cpp: the code-hosting download.
extern const Function kDownloadGithubContent;

// paths/output_paths.cpp: output paths.
extern const Function kGetUniquePath;
extern const Function kSetupOutputDir;
extern const Function kSetupOutputFile;

// paths/path_inspection.cpp: path inspection.
extern const Function kGetPathType;
extern const Function kReplaceFileExtension;

// paths/file_names.cpp: file-name fields and matching.
extern const Function kExtractFilenameInfo;
extern const Function kMatchFilename;

// paths/moving_and_removing.cpp: moving and removing.
extern const Function kForceMoveFile;
extern const Function kRemoveDirectory;
extern const Function kRemoveFile;

// config/yaml_config.cpp: YAML configuration.
extern const Function kSaveYamlTemplate;
extern const Function kLoadYamlConfig;
extern const Function kLoadYamlString;

// config/json_config.cpp: JSON configuration.
extern const Function kLoadJsonConfig;

// metadata/package_metadata.cpp: package name, version and command name.
extern const Function kGetPackageNameVersion;
extern const Function kGetPackageVersion;
extern const Function kGetCliName;

// selection/: discovery (find_files.cpp), the directory list (directory_list.cpp), selection
// dialogues and prompts (dialogs.cpp).
extern const Function kFindFilesWithExtensions;
extern const Function kGetDirectoryList;
extern const Function kInteractiveSelectFiles;
extern const Function kScanAndSelectFiles;
extern const Function kSelectOption;
extern const Function kGetUserInputViaEditor;

}  // namespace quillkit::cargohold
