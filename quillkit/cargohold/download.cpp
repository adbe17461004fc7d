// The code-hosting download: the raw-content request with the access token, and the `gh api`
// fallback.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object download_github_content(Call&, nb::handle) { not_built_yet("download_github_content"); }

}  // namespace

const Function kDownloadGithubContent{
    "download_github_content",
    download_github_content,
    {Param{"url", Rule::str, "str"}},
    Returns{"str", Rule::str},
    "從 GitHub 下載檔案內容（瀏覽器網址或 raw 網址皆可），需要環境變數 GITHUB_TOKEN\n"
    "    （可由 .env 檔提供）；HTTPS 下載失敗時改用 gh api。失敗時回傳空字串。\n\n"
    "    範例：\n"
    "        text = download_github_content(\"https://github.com/owner/repo/blob/main/README.md\")"};

}  // namespace quillkit::cargohold
