// The code-hosting download: the raw-content request with the access token, and the `gh api`
// fallback.
#include "../cargohold.hpp"

#include "../../support/module_startup.hpp"
#include "../stand_ins/file_queries.hpp"
#include "../stand_ins/path_rules.hpp"

#include <cctype>
#include <string>
#include <string_view>

namespace quillkit::cargohold {

namespace {

// The service's web host and raw-content host.
constexpr const char* kWebHost = "github.com";
constexpr const char* kRawHost = "raw.githubusercontent.com";

// Whether the token may go with a request for `address`: only over https to the service's own
// hosts. Anything unusual in the authority (user information, a backslash, characters a host
// name never has) keeps the token back.
bool sends_token_to(std::string_view address) {
    constexpr std::string_view scheme = "https://";
    if (address.size() < scheme.size()) return false;
    for (size_t index = 0; index < scheme.size(); ++index) {
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(address[index]))) != scheme[index]) {
            return false;
        }
    }
    std::string_view authority = address.substr(scheme.size());
    authority = authority.substr(0, authority.find_first_of("/?#"));
    std::string_view host = authority.substr(0, authority.find(':'));
    if (host.size() < authority.size()) {  // a port must be digits only
        for (char digit : authority.substr(host.size() + 1)) {
            if (digit < '0' || digit > '9') return false;
        }
    }
    std::string lowered;
    for (char letter : host) {
        const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
        const bool allowed =
            (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '.' || lower == '-';
        if (!allowed) return false;
        lowered.push_back(lower);
    }
    return lowered == kWebHost || lowered == kRawHost || lowered == "api.github.com";
}

// Calls `function()` from a Python frame whose source file is this module's own file.
//
// find_dotenv() starts its search in the directory of the nearest caller whose source file
// exists. Native code has no frame, so the search would start wherever the Python code that
// called us lives, and fails outright when no caller has a file on disk (a script read from
// standard input). This one-line frame naming the module's file stands where a Python module's
// frame would, so the search starts beside the package, as it would for a module in Python.
nb::object call_from_module_file(Call& c, nb::handle function) {
    static PyObject* relay = nullptr;  // made once for the process, like the module itself
    if (!relay) {
        nb::object file_name = to_str(c.global(names::dunder_file));
        nb::object code = require(Py_CompileStringObject("def relay(function):\n    return function()\n",
                                                         file_name.ptr(), Py_file_input, nullptr, -1));
        nb::object namespace_ = require(PyDict_New());
        require_status(PyDict_SetItemString(namespace_.ptr(), "__builtins__", PyEval_GetBuiltins()));
        require(PyEval_EvalCode(code.ptr(), namespace_.ptr(), namespace_.ptr()));
        relay = require(PyMapping_GetItemString(namespace_.ptr(), "relay")).release().ptr();
    }
    return call(relay, {function});
}

// The `.env` file to load: what the search finds, else one beside the package directory.
nb::object dotenv_path(Call& c) {
    nb::object found = call_from_module_file(c, c.global(names::find_dotenv));
    if (truthy(found)) return found;
    nb::object module_file = c.global(names::dunder_file);
    nb::object text = stand_ins::plain_path_text(c, module_file, stand_ins::kJoin | stand_ins::kQuery);
    if (text.is_valid()) {
        // Path(__file__).parent.parent / ".env", without making the three paths.
        text = stand_ins::joined_path_text(stand_ins::parent_text(stand_ins::parent_text(text)),
                                           literal(".env"));
        const filesystem::Kind kind = stand_ins::pathlib_kind_of(c, text);
        if (kind != filesystem::Kind::unusual) return kind == filesystem::Kind::missing ? found : text;
    }
    nb::object package_level = call(c.global(names::Path), {module_file});
    package_level = attr(attr(package_level, names::parent), names::parent);
    package_level = require(PyNumber_TrueDivide(package_level.ptr(), literal(".env").ptr()));
    if (stand_ins::Queries(c, package_level).exists()) return to_str(package_level);
    return found;
}

// The web address with the raw-content host and without "/blob/", when it is a browser address.
nb::object raw_address(Call& c, nb::handle url) {
    const bool on_web_host = require_status(PyUnicode_Contains(url.ptr(), literal(kWebHost).ptr()));
    if (!on_web_host || !require_status(PyUnicode_Contains(url.ptr(), literal("/blob/").ptr()))) {
        return nb::borrow(url);
    }
    nb::object target = call_method(url, names::replace, {literal(kWebHost), literal(kRawHost)});
    target = call_method(target, names::replace, {literal("/blob/"), literal("/")});
    log_to(c.global(names::log), names::debug, concat({"GitHub URL 轉換：", url, " -> ", target}));
    return target;
}

// (owner, repository, ref, path) of a service address, or None.
nb::object parse_github_url(Call& c, nb::handle github_url) {
    static const char* const patterns[] = {
        R"(github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.+))",
        R"(github\.com/([^/]+)/([^/]+)/raw/([^/]+)/(.+))",
        R"(raw\.githubusercontent\.com/([^/]+)/([^/]+)/([^/]+)/(.+))",
    };
    nb::object re = c.global(names::re);
    for (const char* pattern : patterns) {
        nb::object match = call_method(re, names::search, {literal(pattern), github_url});
        if (truthy(match)) return call_method(match, names::groups);
    }
    return nb::none();
}

// Seconds the web request may wait for the service.
constexpr long kTimeoutSeconds = 10;

// The answers of the service that mean the token was refused or cannot see the file.
constexpr long kRefusedStatuses[] = {401 /* unauthorised */, 403 /* forbidden */, 404 /* not found */};

// The request's headers: the token only for the service's own https hosts.
nb::object request_headers(nb::handle target_url, nb::handle token) {
    nb::object headers = require(PyDict_New());
    Py_ssize_t size = 0;
    const char* address = PyUnicode_AsUTF8AndSize(target_url.ptr(), &size);
    if (!address) throw nb::python_error();
    if (sends_token_to(std::string_view(address, static_cast<size_t>(size)))) {
        nb::object value = concat({"token ", token});
        require_status(PyDict_SetItemString(headers.ptr(), "Authorization", value.ptr()));
    }
    return headers;
}

// Explains a refused token before the status raises.
void report_refusal(nb::handle log, nb::handle status) {
    for (long refused : kRefusedStatuses) {
        nb::object code = require(PyLong_FromLong(refused));
        if (!require_status(PyObject_RichCompareBool(status.ptr(), code.ptr(), Py_EQ))) continue;
        log_to(log, names::error,
               concat({"❌ GitHub Token 驗證失敗或權限不足 (HTTP ", status,
                       ")。請確認 Token 是否有效，或該儲存庫是否為私有且未正確授權。"}));
        return;
    }
}

// The web request; the text on success, an invalid object when the attempt failed.
nb::object request(Call& c, nb::handle url, nb::handle target_url, nb::handle token) {
    nb::object log = c.global(names::log);
    nb::object headers = request_headers(target_url, token);
    try {
        log_to(log, names::info, concat({"正在嘗試從網路下載內容：", url, " ..."}));
        nb::object timeout = require(PyLong_FromLong(kTimeoutSeconds));
        nb::object response = call(attr(c.global(names::requests), names::get), {target_url},
                                   {{names::headers, headers}, {names::timeout, timeout}});
        report_refusal(log, attr(response, names::status_code));
        call_method(response, names::raise_for_status);
        log_to(log, names::info, concat({"✅ 已成功由 ", url, " 下載內容。"}));
        return attr(response, names::text);
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(log, names::warning, concat({"❌ 從 ", url, " 下載內容失敗: ", error.value()}));
        return nb::object();
    }
}

// `[gh, "api", "repos/<owner>/<repo>/contents/<path>?ref=<ref>", "-H", <accept raw>]`
nb::object gh_command(nb::handle gh, nb::handle parsed) {
    nb::object owner = require(PySequence_GetItem(parsed.ptr(), 0));
    nb::object repository = require(PySequence_GetItem(parsed.ptr(), 1));
    nb::object ref = require(PySequence_GetItem(parsed.ptr(), 2));
    nb::object path = require(PySequence_GetItem(parsed.ptr(), 3));
    nb::object api_path = concat({"repos/", owner, "/", repository, "/contents/", path, "?ref=", ref});
    nb::object command = require(PyList_New(0));
    for (nb::handle argument : {gh.ptr(), literal("api").ptr(), api_path.ptr(), literal("-H").ptr(),
                                literal("Accept: application/vnd.github.raw").ptr()}) {
        require_status(PyList_Append(command.ptr(), argument.ptr()));
    }
    return command;
}

// Runs the command with the token in GH_TOKEN; its output on success, an invalid object after
// the logged failure.
nb::object run_gh(Call& c, nb::handle url, nb::handle command, nb::handle token) {
    nb::object environment = call_method(attr(c.global(names::os), names::environ), names::copy);
    require_status(PyObject_SetItem(environment.ptr(), names::GH_TOKEN.ptr(), token.ptr()));
    nb::object subprocess = import_module("subprocess");
    nb::object log = c.global(names::log);
    try {
        log_to(log, names::info, concat({"🔄 正在嘗試使用 gh api 備用下載：", url, " ..."}));
        nb::object result =
            call(attr(subprocess, names::run), {command},
                 {{names::capture_output, Py_True}, {names::text, Py_True}, {names::env, environment}});
        nb::object returncode = attr(result, names::returncode);
        nb::object success = require(PyLong_FromLong(0));
        if (require_status(PyObject_RichCompareBool(returncode.ptr(), success.ptr(), Py_EQ))) {
            log_to(log, names::info, concat({"🎉 已成功透過 gh api 下載 ", url, " 內容！"}));
            return attr(result, names::stdout_);
        }
        nb::object message = call_method(attr(result, names::stderr_), names::strip);
        log_to(log, names::warning,
               concat({"❌ 使用 gh api 下載內容失敗 (Exit ", returncode, "): ", message}));
    } catch (nb::python_error& error) {
        if (!is_exception(error)) throw;
        log_to(log, names::warning, concat({"❌ 執行 gh api 下載時發生異常: ", error.value()}));
    }
    return nb::object();
}

// The `gh api` fallback; the child's output on success, an invalid object otherwise.
nb::object fallback(Call& c, nb::handle url, nb::handle token) {
    nb::object parsed = parse_github_url(c, url);
    nb::object gh = call_method(c.global(names::shutil), names::which, {literal("gh")});
    if (!truthy(gh) || parsed.is_none()) return nb::object();
    return run_gh(c, url, gh_command(gh, parsed), token);
}

// The text of one file on the service; an empty text when every way of getting it failed.
nb::object download_github_content(Call& c, nb::str url) {
    call(c.global(names::load_dotenv), {dotenv_path(c)});
    nb::object target_url = raw_address(c, url);
    nb::object token =
        call_method(attr(c.global(names::os), names::environ), names::get, {names::GITHUB_TOKEN.handle()});
    if (!truthy(token)) {
        log_to(c.global(names::log), names::error,
               concat({"❌ 無法從 ", url, " 下載 GitHub 內容：環境變數 GITHUB_TOKEN 未設定。"}));
        return nb::borrow(literal(""));
    }
    nb::object text = request(c, url, target_url, token);
    if (text.is_valid()) return text;
    text = fallback(c, url, token);
    if (text.is_valid()) return text;
    return nb::borrow(literal(""));
}

constexpr Function kDownloadGithubContent{
    "download_github_content",
    body<download_github_content>,
    {Param{"url", Rule::str, "str"}},
    Returns{"str", Rule::str},
    "從 GitHub 下載檔案內容（瀏覽器網址或 raw 網址皆可）。\n\n"
    "    需要環境變數 GITHUB_TOKEN（可由 .env 檔提供）；Token 只會送往 GitHub 的 https 網址。\n"
    "    HTTPS 下載失敗時改用 gh api；全部失敗時記錄原因並回傳空字串。\n\n"
    "    範例：\n"
    "        text = download_github_content(\"https://github.com/owner/repo/blob/main/README.md\")"};
const Published kPublishDownloadGithubContent{kDownloadGithubContent, 1};

}  // namespace

}  // namespace quillkit::cargohold
