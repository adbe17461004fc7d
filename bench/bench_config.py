"""load_json_config on a 5 MB JSON file with // comments, against plain Python reading it with
re.sub and json.loads."""

import json
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import compare_once

from quillkit import cargohold

SIZE = 5 * 1024 * 1024


def commented_json(size):
    """A settings file of about `size` bytes: nested objects, text with CJK, and comments both
    on lines of their own and after values (no // inside strings, which the baseline would cut)."""
    lines = ["// 產生的測試設定", "{"]
    length, index = 0, 0
    while length < size:
        entry = [
            f'  "item_{index}": {{ // 第 {index} 項',
            f'    "name": "項目 {index}", "path": "data/{index}.txt",',
            "    // 以下為數值設定",
            f'    "size": {index * 7}, "ratio": {index / 3:.5f}, "enabled": {str(index % 2 == 0).lower()},',
            f'    "tags": ["a", "b", "標籤{index % 10}"] // 標籤',
            "  },",
        ]
        lines.extend(entry)
        length += sum(len(line.encode()) + 1 for line in entry)
        index += 1
    lines.append('  "last": null\n}')
    return "\n".join(lines)


def python_load(path):
    content = Path(path).read_text(encoding="utf-8")
    return json.loads(re.sub("//.*", "", content))


# The same comment rule as load_json_config (never inside a string), written in plain Python.
_TOKEN = re.compile(r'(\\[\s\S]|"(?:[^"\\]|\\[\s\S])*(?:"|\\?\Z))|//[^\n]*')


def python_load_string_aware(path):
    content = Path(path).read_text(encoding="utf-8")
    return json.loads(_TOKEN.sub(lambda match: match.group(1) or "", content))


def python_read_and_strip(path):
    return re.sub("//.*", "", Path(path).read_text(encoding="utf-8"))


def main():
    class Quiet:
        def error(self, message):
            raise AssertionError(message)

        warning = error

    cargohold.log = Quiet()
    with tempfile.TemporaryDirectory() as directory:
        path = str(Path(directory) / "settings.json")
        Path(path).write_text(commented_json(SIZE), encoding="utf-8")
        assert cargohold.load_json_config(path) == python_load(path) == python_load_string_aware(path)
        print(f"file: {Path(path).stat().st_size / 1e6:.1f} MB")
        ratios = {
            "re.sub": compare_once(
                "load_json_config, 5 MB commented JSON",
                lambda: python_load(path),
                lambda: cargohold.load_json_config(path),
                rounds=15,
                baseline_label="re.sub+json.loads",
            ),
            "string-aware": compare_once(
                "  same, strings respected in Python too",
                lambda: python_load_string_aware(path),
                lambda: cargohold.load_json_config(path),
                rounds=5,
                baseline_label="python tokeniser  ",
            ),
        }
        # Parsing dominates both; with it taken out (json.loads a no-op) the reading and the
        # comment stripping are compared alone.
        cargohold.json = type("NoParsing", (), {"loads": staticmethod(lambda text: None)})
        try:
            ratios["stripping"] = compare_once(
                "  read and strip only (no parsing)",
                lambda: python_read_and_strip(path),
                lambda: cargohold.load_json_config(path),
                rounds=15,
                baseline_label="read_text+re.sub  ",
            )
        finally:
            cargohold.json = json
    return ratios


if __name__ == "__main__":
    main()
