"""The file-name rules written in plain Python with pathlib: what extract_filename_info and
match_filename must give. The property tests compare the native functions with these on generated
names, and the benchmark uses them as the baseline."""

from pathlib import Path


def reference_extract(fileName, partNumber=(0, 1), sp="_"):
    if not fileName:
        raise ValueError("fileName cannot be empty.")
    parts = Path(fileName).stem.split(sp)
    for index in partNumber:
        if not 0 <= index < len(parts):
            raise IndexError("Index in partNumber is out of range.")
    return tuple(parts[index] for index in partNumber)


def reference_match(filename, prefix=None, suffix=None, ignore_case=True):
    name = Path(filename).name
    prefix, suffix = prefix or "", suffix or ""
    if ignore_case:
        name, prefix, suffix = name.lower(), prefix.lower(), suffix.lower()
    return name.startswith(prefix) and name.endswith(suffix)
