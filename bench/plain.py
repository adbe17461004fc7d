"""The functions of quillkit.cargohold and the lazy logger of quillkit.chronicle written in plain
Python: the same behaviour, through the same libraries, reached through this module's globals as
the native modules reach theirs. The benchmarks measure the modules against these.

Discovery, the directory list and the file-name rules are the references the tests already
hold (tests/reference_discovery.py, tests/cargohold/paths/reference_filenames.py); they are
imported, not copied.
The benchmark sets `log`, `click` and `requests` here and in cargohold to the same stand-ins."""

import functools
import importlib.metadata
import importlib.util
import json
import logging
import os
import re
import shutil
import sys
from pathlib import Path

import click
import requests
from dotenv import find_dotenv, load_dotenv

TESTS = Path(__file__).resolve().parent.parent / "tests"
sys.path[:0] = [str(TESTS), str(TESTS / "cargohold" / "paths")]

from reference_discovery import find_files_with_extensions, get_directory_list  # noqa: E402,F401
from reference_filenames import reference_extract as extract_filename_info  # noqa: E402,F401
from reference_filenames import reference_match as match_filename  # noqa: E402,F401

try:
    import yaml

    _HAS_YAML = True
except ImportError:
    _HAS_YAML = False

log = logging.getLogger("plain")

# The file of the module these functions stand for: where its setup script and `.env` searches
# start.
MODULE_FILE = importlib.util.find_spec("quillkit.cargohold").origin


# ---------------------------------------------------------------------------------------------
# Output paths, path kinds, extension replacement


def get_unique_path(directory, base_name: str, extension: str) -> Path:
    directory = Path(directory)
    if not extension.startswith("."):
        extension = "." + extension
    candidate = directory / f"{base_name}{extension}"
    counter = 1
    while candidate.exists():
        candidate = directory / f"{base_name}_{counter}{extension}"
        counter += 1
    return candidate


def setup_output_dir(dir_path: str, logger=None):
    path = Path(dir_path)
    existed = path.exists()
    path.mkdir(parents=True, exist_ok=True)
    if logger:
        logger.info(f"✅ 輸出目錄{'已就緒' if existed else '已建立'}：{dir_path}")


def setup_output_file(out_dir: str, out_file: str, logger=None) -> Path:
    if not out_dir:
        out_dir = "."
    setup_output_dir(out_dir, logger=logger)
    path = Path(out_dir) / out_file
    if logger:
        logger.info(f"🚀 輸出檔案路徑已就緒：{path}")
    return path


def get_path_type(path, logger=None):
    logger = logger or log
    if os.path.isdir(path):
        return 0
    if os.path.isfile(path):
        return 1
    logger.warning(f"⚠️ 路徑不存在或無效：{path}")
    return None


def replace_file_extension(fn: str, orgExt: str, newExt: str) -> str:
    if not newExt.startswith("."):
        newExt = "." + newExt
    return str(Path(fn).with_suffix(newExt))


# ---------------------------------------------------------------------------------------------
# Moving and removing


def force_move_file(src, dest, backup=None):
    src_p, dest_p = Path(src), Path(dest)
    if not src_p.exists():
        log.error(f"❌ 來源檔案不存在：{src_p}")
        return
    if backup:
        bk_p = Path(backup)
        bk_p.parent.mkdir(parents=True, exist_ok=True)
        if bk_p.exists():
            bk_p.unlink()
        shutil.copy2(src_p, bk_p)
        log.info(f"✅ 備份成功：{src_p} -> {bk_p}")
    dest_p.parent.mkdir(parents=True, exist_ok=True)
    if dest_p.exists():
        dest_p.unlink()
    shutil.move(str(src_p), str(dest_p))
    log.info(f"✅ 搬移成功：{src_p} -> {dest_p}")


def remove_directory(path):
    import stat
    import sys

    path = Path(path)
    if not path.exists():
        return

    def _handle_readonly(func, path_str, exc_info):
        try:
            os.chmod(path_str, stat.S_IWRITE)
            func(path_str)
        except Exception:
            pass

    try:
        if not path.is_dir():
            return
        hook = "onexc" if sys.version_info >= (3, 12) else "onerror"
        shutil.rmtree(path, **{hook: _handle_readonly})
        log.info(f"✅ 已處理：移除目錄 {path}")
    except Exception as error:
        log.warning(f"⚠️ 無法移除目錄 {path}：{error}")


def remove_file(path):
    import stat

    p = Path(path)
    if not p.exists():
        return
    try:
        if not p.is_file():
            return
        try:
            p.unlink()
        except PermissionError:
            os.chmod(p, stat.S_IWRITE)
            p.unlink()
        log.info(f"✅ 已處理：移除檔案 {p}")
    except Exception as error:
        log.warning(f"⚠️ 無法移除檔案 {p}：{error}")


# ---------------------------------------------------------------------------------------------
# Content: local files, the download, load-or-download, the registry, code extraction


def load_local_file_content(file_path, label: str = "檔案", logger=None) -> str:
    logger = logger or log
    path = Path(file_path)
    if not path.is_file():
        return ""
    try:
        content = path.read_text(encoding="utf-8")
        logger.info(f"✅ 已成功載入{label}：{path}")
        return content
    except Exception as error:
        logger.error(f"❌ 讀取{label}失敗 {path}: {error}")
        return ""


def write_plainly(path: Path, content: str):
    path.write_text(content, encoding="utf-8")


def write_atomically(path: Path, content: str):
    """The promise quillkit's saves keep: a temporary file beside the target, synced to the disk,
    then renamed over it (with the old file's mode), so a failure leaves the old file."""
    temporary = path.parent / f".{path.name}.{os.urandom(6).hex()}.tmp"
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        if path.exists():
            os.fchmod(descriptor, path.stat().st_mode & 0o7777)
        os.write(descriptor, content.encode("utf-8"))
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    os.replace(temporary, path)


def save_local_file_content(file_path, content: str, label: str = "檔案", logger=None, write=write_plainly):
    logger = logger or log
    path = Path(file_path)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write(path, content)
        message = f"🎉 成功產出 {label}：{path}"
        logger.info(message)
        return True, message
    except Exception as error:
        message = f"❌ 儲存{label}失敗 {path}: {error}"
        logger.error(message)
        return False, message


# save_local_file_content keeping the same promise as quillkit's.
save_local_file_content_atomically = functools.partial(save_local_file_content, write=write_atomically)


def download_github_content(url: str) -> str:
    def parse_github_url(github_url):
        for pattern in (
            r"github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.+)",
            r"github\.com/([^/]+)/([^/]+)/raw/([^/]+)/(.+)",
            r"raw\.githubusercontent\.com/([^/]+)/([^/]+)/([^/]+)/(.+)",
        ):
            match = re.search(pattern, github_url)
            if match:
                return match.groups()
        return None

    dotenv_path = find_dotenv()
    if not dotenv_path:
        package_env = Path(MODULE_FILE).parent.parent / ".env"
        if package_env.exists():
            dotenv_path = str(package_env)
    load_dotenv(dotenv_path)
    target_url = url
    if "github.com" in url and "/blob/" in url:
        target_url = url.replace("github.com", "raw.githubusercontent.com").replace("/blob/", "/")
        log.debug(f"GitHub URL 轉換：{url} -> {target_url}")
    github_token = os.environ.get("GITHUB_TOKEN")
    if not github_token:
        log.error(f"❌ 無法從 {url} 下載 GitHub 內容：環境變數 GITHUB_TOKEN 未設定。")
        return ""
    headers = {"Authorization": f"token {github_token}"}
    try:
        log.info(f"正在嘗試從網路下載內容：{url} ...")
        response = requests.get(target_url, headers=headers, timeout=10)
        if response.status_code in (401, 403, 404):
            log.error(
                f"❌ GitHub Token 驗證失敗或權限不足 (HTTP {response.status_code})。"
                "請確認 Token 是否有效，或該儲存庫是否為私有且未正確授權。"
            )
        response.raise_for_status()
        log.info(f"✅ 已成功由 {url} 下載內容。")
        return response.text
    except Exception as error:
        log.warning(f"❌ 從 {url} 下載內容失敗: {error}")
    parsed = parse_github_url(url)
    gh = shutil.which("gh")
    if not gh or not parsed:
        return ""
    owner, repository, ref, path = parsed
    command = [
        gh,
        "api",
        f"repos/{owner}/{repository}/contents/{path}?ref={ref}",
        "-H",
        "Accept: application/vnd.github.raw",
    ]
    env = os.environ.copy()
    env["GH_TOKEN"] = github_token
    try:
        import subprocess

        log.info(f"🔄 正在嘗試使用 gh api 備用下載：{url} ...")
        result = subprocess.run(command, capture_output=True, text=True, env=env)
        if result.returncode == 0:
            log.info(f"🎉 已成功透過 gh api 下載 {url} 內容！")
            return result.stdout
        log.warning(f"❌ 使用 gh api 下載內容失敗 (Exit {result.returncode}): {result.stderr.strip()}")
    except Exception as error:
        log.warning(f"❌ 執行 gh api 下載時發生異常: {error}")
    return ""


# find_dotenv() starts its search beside the file of its caller's frame: a function of the
# package would call it from the package's module file, as the native module arranges too.
download_github_content.__code__ = download_github_content.__code__.replace(co_filename=MODULE_FILE)


def load_or_download_content(file_path, url: str = "", label: str = "檔案", logger=None) -> str:
    logger = logger or log
    content = load_local_file_content(file_path, label=label, logger=logger)
    if content:
        return content
    if url:
        logger.info(f"⚠️ 找不到{label}檔案：{file_path}，嘗試從網路下載...")
        content = download_github_content(url)
        if content:
            save_local_file_content(file_path, content, label=label, logger=logger)
    return content


def download_and_save_from_registry(
    registry: list,
    output_dir: str,
    title: str = "請選擇下載項目",
    label_prefix: str = "",
    logger=None,
    auto_download: bool = False,
):
    logger = logger or log
    if auto_download:
        selection = [(entry["url"], entry["display"]) for entry in registry]
        logger.debug(f"🚀 已啟用自動模式，將下載全部 {len(selection)} 個項目。")
    else:
        display_names = [entry["display"] for entry in registry]
        urls = [entry["url"] for entry in registry]
        click.echo(f"\n--- {title} ---")
        selection = interactive_select_files(urls, display_names, extension="")
    if not selection:
        logger.info("⚠️ 已跳過下載流程。")
        return None
    output = Path(output_dir)
    for address, display in selection:
        entry = next(entry for entry in registry if entry["url"] == address)
        filename = entry.get("filename") or Path(address).name
        save_path = output / filename
        logger.info(f"📡 正在從網路下載：{display} ...")
        content = download_github_content(address)
        if content:
            save_local_file_content(save_path, content, label=f"{label_prefix}{display}", logger=logger)
    return None


def extract_and_save_code(
    text: str,
    file_path,
    label: str = "檔案",
    error_msg: str = "❌ 無法從 agy 輸出中擷取程式碼。",
    fail_msg: str = "擷取程式碼失敗",
    logger=None,
):
    logger = logger or log
    if not text:
        if error_msg:
            logger.error(error_msg)
        return False, fail_msg
    match = re.search(r"```(?:python|bash|yaml)?\n(.*?)\n```", text, re.DOTALL)
    code = match.group(1).strip() if match else text.strip()
    if not code:
        if error_msg:
            logger.error(error_msg)
        return False, fail_msg
    success, message = save_local_file_content(file_path, code, label=label, logger=logger)
    return (True, message) if success else (False, message)


# ---------------------------------------------------------------------------------------------
# Configuration


def load_yaml_config(file_path: str, logger=None):
    logger = logger or log
    if not _HAS_YAML:
        logger.error("❌ 缺少 Python 套件 'PyYAML'。請執行：pip install pyyaml")
        return None
    if not Path(file_path).is_file():
        logger.error(f"❌ 找不到 YAML 設定檔或路徑無效：{file_path}")
        return None
    with open(file_path, encoding="utf-8") as file:
        try:
            return yaml.safe_load(file)
        except yaml.YAMLError as error:
            logger.error(f"❌ 解析 YAML 失敗：{error}")
            return None


def load_yaml_string(yaml_content: str, label: str = "YAML 內容", logger=None):
    logger = logger or log
    if not _HAS_YAML:
        logger.error("❌ 缺少 Python 套件 'PyYAML'。請執行：pip install pyyaml")
        return None
    try:
        return yaml.safe_load(yaml_content)
    except Exception as error:
        logger.error(f"❌ 解析 {label} 失敗：{error}")
        return None


def save_yaml_template(
    template_content: str, output_file: str = "default_config.yaml", logger=None, write=write_plainly
) -> str:
    logger = logger or log
    write(Path(output_file), template_content)
    logger.info(f"🎉 成功產出 YAML 範本：{output_file}")
    return os.path.abspath(output_file)


# save_yaml_template keeping the same promise as quillkit's.
save_yaml_template_atomically = functools.partial(save_yaml_template, write=write_atomically)


def load_json_config(file_path: str, required_keys: list = None):
    if get_path_type(file_path) != 1:
        log.error(f"❌ JSON 檔案不存在或無效：{file_path}")
        return None
    try:
        content = Path(file_path).read_text(encoding="utf-8")
        data = json.loads(re.sub("//.*", "", content))
        if not required_keys:
            return data
        missing = [key for key in required_keys if key not in data]
        if missing:
            log.error(f"❌ JSON 格式錯誤，缺少 Key：{missing} 於 {file_path}")
            return None
        return tuple(data[key] for key in required_keys)
    except Exception as error:
        log.error(f"❌ 載入 JSON 設定失敗 {file_path}：{error}")
        return None


# ---------------------------------------------------------------------------------------------
# Package metadata


def get_package_name_version() -> tuple:
    paths_to_check = [
        os.path.join(os.getcwd(), "setup.py"),
        os.path.join(os.path.dirname(os.path.dirname(MODULE_FILE)), "setup.py"),
    ]
    for path in paths_to_check:
        if not os.path.exists(path):
            continue
        try:
            with open(path, encoding="utf-8") as file:
                setup_content = file.read()
                try:
                    import ast

                    tree = ast.parse(setup_content)
                    for node in ast.walk(tree):
                        if isinstance(node, ast.Call) and getattr(node.func, "id", None) == "setup":
                            name = version = None
                            for keyword in node.keywords:
                                if keyword.arg == "name":
                                    if isinstance(keyword.value, ast.Constant):
                                        name = keyword.value.value
                                    elif isinstance(keyword.value, ast.Str):
                                        name = keyword.value.s
                                elif keyword.arg == "version":
                                    if isinstance(keyword.value, ast.Constant):
                                        version = keyword.value.value
                                    elif isinstance(keyword.value, ast.Str):
                                        version = keyword.value.s
                            if name or version:
                                return name or "unknown", version or "unknown"
                except Exception:
                    pass
                setup_block_match = re.search(r"setup\s*\(([\s\S]*?)\)", setup_content)
                arguments = setup_block_match.group(1) if setup_block_match else setup_content
                name_match = re.search(r"name\s*=\s*[\"\'](.*?)[\"\']", arguments)
                version_match = re.search(r"version\s*=\s*[\"\'](.*?)[\"\']", arguments)
                if name_match or version_match:
                    return (
                        name_match.group(1) if name_match else "unknown",
                        version_match.group(1) if version_match else "unknown",
                    )
        except Exception:
            continue
    return "unknown", "unknown"


def get_package_version(package_name: str) -> str:
    try:
        return importlib.metadata.version(package_name)
    except Exception:
        return "unknown"


def get_cli_name(setup_file_path="setup.py", default: str = "quill-cli") -> str:
    path = Path(setup_file_path)
    if not path.exists() or not path.is_file():
        return default
    try:
        content = path.read_text(encoding="utf-8")
        match = re.search(r"['\"]([\w\-]+)\s*=\s*[\w\.]+cli:main['\"]", content)
        return match.group(1) if match else default
    except Exception:
        return default


# ---------------------------------------------------------------------------------------------
# Selection dialogues and prompts


def interactive_select_files(
    files: list, names: list, extension: str = ".py", exclude_names: list = None
) -> list:
    if exclude_names:
        kept = [(file, name) for file, name in zip(files, names) if name not in exclude_names]
        if not kept:
            click.echo(f"經過過濾後，找不到任何可用的 {extension} 檔案。")
            return []
        files, names = [file for file, _ in kept], [name for _, name in kept]
    click.echo(f"\n找到以下 {extension} 檔案：")
    for index, (file, name) in enumerate(zip(files, names), 1):
        shown = f"{name}{extension}"
        if isinstance(file, str) and not file.startswith(("http://", "https://")):
            try:
                relative = os.path.relpath(file).replace(os.sep, "/")
                if "/" in relative:
                    shown = relative
            except Exception:
                pass
        click.echo(f"  [{index}] {shown}")
    answer = (
        click.prompt(
            "\n請輸入檔案編號 (例如: 1,2,5) 或輸入 'all' 代表全部 (直接按 Enter 則不選取)",
            default="",
            show_default=False,
        )
        .strip()
        .lower()
    )
    pairs = list(zip(files, names))
    if answer == "all":
        return pairs
    try:
        indices = [int(piece.strip()) - 1 for piece in answer.split(",") if piece.strip()]
    except ValueError:
        click.secho("輸入格式錯誤，請提供數字編號並以逗號分隔。", fg="red")
        return []
    return [pairs[index] for index in indices if 0 <= index < len(files)]


def scan_and_select_files(
    directory, extensions, recursive=True, exclude_names=None, exclude_paths=None, label="檔案", logger=None
) -> list:
    logger = logger or log
    if get_path_type(directory, logger=logger) != 0:
        logger.error(f"❌ 來源資料夾不存在或無效：{directory}")
        return []
    files, names = find_files_with_extensions(
        directory, extensions=extensions, recursive=recursive, exclude_paths=exclude_paths, logger=logger
    )
    if not files:
        logger.error(f"❌ 在 {directory} 中找不到任何 {label}。")
        return []
    selected = interactive_select_files(files, names, exclude_names=exclude_names)
    if not selected:
        logger.warning(f"⚠️ 未選取任何有效{label}，程序結束。")
        return []
    return selected


def select_option(
    prompt_text: str, option_array: list, default: str = None, title: str = None, allow_all: bool = False
) -> str:
    if title:
        click.echo(f"\n{title}：")
    for index, option in enumerate(option_array, 1):
        click.echo(f"  [{index}] {option}")
    choices = [str(index) for index in range(1, len(option_array) + 1)]
    if allow_all:
        choices.append("all")
    text = f"\n{prompt_text} (或輸入 'all' 代表全部)" if allow_all else f"\n{prompt_text}"
    answer = click.prompt(text, type=click.Choice(choices), default=default)
    if answer == "all":
        return "all"
    return option_array[int(answer) - 1]


def get_user_input_via_editor(marker: str, label: str = "輸入內容", logger=None) -> str:
    logger = logger or log
    logger.debug(f"正在開啟編輯器獲取 {label}...")
    text = click.edit(marker)
    if text is None:
        return ""
    return text.replace(marker, "").strip()


# ---------------------------------------------------------------------------------------------
# The lazy logger

_BASE_NAME = "app"


def get_logger(child: str = ""):
    name = f"{_BASE_NAME}.{child}" if len(child) > 0 else _BASE_NAME
    return logging.getLogger(name)


class LazyLogger:
    """A logger whose name is resolved at each use."""

    __slots__ = ("_child",)

    def __init__(self, child: str = ""):
        self._child = child

    @property
    def _l(self):
        return get_logger(self._child)

    def _emit(self, level, msg, *args, **kwargs):
        stacklevel = kwargs.pop("stacklevel", 3)
        try:
            self._l.log(level, msg, *args, stacklevel=stacklevel, **kwargs)
        except TypeError:
            self._l.log(level, msg, *args, **kwargs)

    def debug(self, msg, *args, **kwargs):
        self._emit(logging.DEBUG, msg, *args, **kwargs)

    def info(self, msg, *args, **kwargs):
        self._emit(logging.INFO, msg, *args, **kwargs)
