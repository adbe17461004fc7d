"""quill-notes: an example tool built on quillkit.

It reads its settings from a JSON file with comments, finds the note files in a shipped folder
(oldest first, by the date code in their names), lets the user pick some on a terminal (all of
them otherwise), and saves a summary of their bullet points into an output folder.
"""

import os
import sys
from pathlib import Path

from quillkit import cargohold, chronicle

HERE = Path(__file__).resolve().parent

log = chronicle.lazy_logger("notes")  # made at import, named once setup_logging has run


def bullet_points(path):
    text = cargohold.load_local_file_content(path, label="筆記")
    return [line[2:].strip() for line in text.splitlines() if line.startswith("- ")]


def main():
    os.chdir(HERE)  # the settings, the notes and setup.py live beside the tool
    name, version = cargohold.get_package_name_version()
    command = cargohold.get_cli_name()
    settings = cargohold.load_json_config("notes_tool.json")
    if settings is None:
        return 1
    output_dir = settings["output_dir"]
    cargohold.setup_output_dir(output_dir)
    chronicle.setup_logging(name, file=str(Path(output_dir) / "debug.log"))
    print(f"{command}: {name} {version} (quillkit {cargohold.get_package_version('quillkit')})")

    files, names = cargohold.find_files_with_extensions(
        settings["source"], settings["extensions"], recursive=True, sort_datecode=True,
        exclude_paths=settings["exclude"])
    if sys.stdin.isatty() and sys.stdout.isatty():
        chosen = cargohold.interactive_select_files(files, names, extension="")
    else:
        chosen = list(zip(files, names))
        log.info("no terminal: taking all %d notes", len(chosen))
    if not chosen:
        log.warning("nothing chosen")
        return 0

    lines = [f"# Notes summary ({len(chosen)} files)", ""]
    for path, stem in chosen:
        points = bullet_points(path)
        lines.append(f"## {stem}")
        lines.extend(f"- {point}" for point in points)
        lines.append("")
        print(f"  {path}: {len(points)} points")
    summary = cargohold.setup_output_file(output_dir, "summary.md")
    ok, message = cargohold.save_local_file_content(summary, "\n".join(lines), label="摘要")
    archive = cargohold.get_unique_path(Path(output_dir) / "archive", "summary", "md")
    cargohold.save_local_file_content(archive, "\n".join(lines), label="封存")
    print(f"saved {summary} and {archive}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
