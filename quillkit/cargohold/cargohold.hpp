// What the files of quillkit.cargohold share: the declarations of its 29 functions, grouped by
// the file that holds their bodies, and the helpers every body uses.
#pragma once

#include "../support/function.hpp"

namespace quillkit::cargohold {

// Names of the module globals the bodies look up at call time.
namespace globals {
inline Name log{"log"};
inline Name os{"os"};
inline Name re{"re"};
inline Name json{"json"};
inline Name shutil{"shutil"};
inline Name yaml{"yaml"};
inline Name has_yaml{"_HAS_YAML"};
inline Name click{"click"};
inline Name requests{"requests"};
inline Name importlib{"importlib"};
inline Name load_dotenv{"load_dotenv"};
inline Name find_dotenv{"find_dotenv"};
inline Name chronicle{"chronicle"};
inline Name path{"Path"};
}  // namespace globals

// The module state: what start-up bound, so that a body can tell whether a program has replaced
// it since (then the replacement is called) or not (then the work may be done natively).
struct State {
    PyObject* re_module;  // the standard `re`
    PyObject* re_search;  // re.search
};

// True when the module global `re` is still the standard module with its own `search`.
bool standard_re_search(Call& c);

// The `logger` argument when it is true, else the module logger `log`.
nb::object choose_logger(Call& c, nb::handle logger);

// content.cpp: local files, load-or-download, the registry download, code extraction.
extern const Function kLoadLocalFileContent;
extern const Function kSaveLocalFileContent;
extern const Function kLoadOrDownloadContent;
extern const Function kDownloadAndSaveFromRegistry;
extern const Function kExtractAndSaveCode;

// download.cpp: the code-hosting download.
extern const Function kDownloadGithubContent;

// paths.cpp: output paths and path inspection.
extern const Function kGetUniquePath;
extern const Function kSetupOutputDir;
extern const Function kSetupOutputFile;
extern const Function kGetPathType;
extern const Function kReplaceFileExtension;

// filenames.cpp: file-name fields and matching.
extern const Function kExtractFilenameInfo;
extern const Function kMatchFilename;

// removal.cpp: moving and removing.
extern const Function kForceMoveFile;
extern const Function kRemoveDirectory;
extern const Function kRemoveFile;

// config.cpp: YAML and JSON configuration.
extern const Function kSaveYamlTemplate;
extern const Function kLoadYamlConfig;
extern const Function kLoadYamlString;
extern const Function kLoadJsonConfig;

// metadata.cpp: package name, version and command name.
extern const Function kGetPackageNameVersion;
extern const Function kGetPackageVersion;
extern const Function kGetCliName;

// discovery.cpp, listing.cpp, dialogs.cpp: discovery, listing, selection dialogues and prompts.
extern const Function kFindFilesWithExtensions;
extern const Function kGetDirectoryList;
extern const Function kInteractiveSelectFiles;
extern const Function kScanAndSelectFiles;
extern const Function kSelectOption;
extern const Function kGetUserInputViaEditor;

}  // namespace quillkit::cargohold
