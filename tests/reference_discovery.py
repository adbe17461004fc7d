"""Discovery and the directory list written in plain Python with os.walk and pathlib: the
behaviour the native functions must reproduce exactly. The property tests compare the two on
generated trees, and the benchmark uses these as the baseline."""

import os
from pathlib import Path

DATECODE_ERROR = "❌ 無法使用 DateCode 排序：未找到 quillkit.stampkit。改用字母排序。"


def find_files_with_extensions(
    in_path, extensions, recursive=False, sort_datecode=False, exclude_paths=None, prefix=None, logger=None
):
    ext_set = set()
    if extensions is not None:
        if isinstance(extensions, str):
            extensions = [extensions]
        for extension in extensions:
            lowered = extension.lower()
            ext_set.add(lowered if lowered.startswith(".") else "." + lowered)

    exclude_set = set()
    if exclude_paths:
        if isinstance(exclude_paths, str):
            exclude_paths = [exclude_paths]
        exclude_set = {os.path.abspath(p).rstrip(os.sep) for p in exclude_paths}

    def _is_excluded(target):
        if not exclude_set:
            return False
        t_abs = os.path.abspath(target)
        if t_abs in exclude_set:
            return True
        return any(t_abs.startswith(e + os.sep) for e in exclude_set)

    files, names = [], []
    p = Path(in_path)
    logger.info(f"🔍 正在掃描路徑：{in_path}")
    if os.path.isdir(p):
        if _is_excluded(str(p)):
            return [], []
        for root, dirs, fs in os.walk(str(p)):
            if exclude_set:
                dirs[:] = [d for d in dirs if not _is_excluded(os.path.join(root, d))]
            for f in fs:
                fp = Path(root) / f
                if fp.suffix.lower() in ext_set and not _is_excluded(str(fp)):
                    if prefix and not f.startswith(prefix):
                        continue
                    files.append(str(fp))
                    names.append(fp.stem)
            if not recursive:
                break
    elif os.path.isfile(p):
        if (
            not _is_excluded(str(p))
            and p.suffix.lower() in ext_set
            and (not prefix or p.name.startswith(prefix))
        ):
            files.append(str(p))
            names.append(p.stem)
    else:
        logger.warning(f"⚠️ 跳過無效路徑：{in_path}")

    if files:
        pairs = list(zip(files, names))
        done = False
        if sort_datecode:
            try:
                import quillkit.stampkit as stampkit

                pairs = sorted(pairs, key=lambda pair: stampkit.parseVEV_fileNameTime(pair[1]) or "")
                logger.info("✅ 已完成檔案 VEV 時間排序 (DateCode)")
                done = True
            except (ImportError, AttributeError):
                logger.error(DATECODE_ERROR)
        if not done:
            pairs = sorted(pairs)
        files, names = [list(column) for column in zip(*pairs)]
    logger.debug(f"✅ 已掃描處理完畢，共找到 {len(files)} 個檔案")
    return files, names


def get_directory_list(
    root_path=".", exclude_prefixes=(".", "_"), exclude_names=("build", "dist"), exclude_suffixes=(), log=None
):
    root = Path(root_path)
    if not os.path.isdir(root):
        log.warning(f"⚠️ 指定的目錄不存在或非資料夾：{root_path}")
        return [], []
    paths, names = [], []
    for entry in root.iterdir():
        if not entry.is_dir():
            continue
        name = entry.name
        if exclude_prefixes and name.startswith(exclude_prefixes):
            continue
        if exclude_names and name in exclude_names:
            continue
        if exclude_suffixes and name.endswith(exclude_suffixes):
            continue
        paths.append(str(entry))
        names.append(name)
    return paths, names
