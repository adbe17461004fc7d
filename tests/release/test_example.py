"""The example tool, as the README's main command runs it: without a terminal it takes every
note; on a terminal it offers the numbered selection."""

import shutil
import subprocess
import sys
from pathlib import Path

import pexpect

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def copy_examples(tmp_path):
    shutil.copytree(EXAMPLES, tmp_path / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    return tmp_path / "examples" / "notes_tool.py", tmp_path / "build" / "example-output"


def test_without_a_terminal_every_note_is_summarised(tmp_path):
    tool, output = copy_examples(tmp_path)
    result = subprocess.run(
        [sys.executable, "-P", str(tool)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("quill-notes: quill-notes 1.2.0 (quillkit ")
    assert "quill-notes.notes: no terminal: taking all 4 notes" in lines
    summary = (output / "summary.md").read_text(encoding="utf-8")
    assert summary.startswith("# Notes summary (4 files)") and "drafts" not in summary
    # Oldest first by date code; the note without one comes first.
    assert [line[3:] for line in summary.splitlines() if line.startswith("## ")] == [
        "ideas",
        "retro_20231212_093000",
        "standup_20240105",
        "planning_20240220",
    ]
    subprocess.run(
        [sys.executable, "-P", str(tool)],
        stdin=subprocess.DEVNULL,
        check=True,
        capture_output=True,
        timeout=60,
    )
    assert sorted(p.name for p in (output / "archive").iterdir()) == ["summary.md", "summary_1.md"]


def test_on_a_terminal_the_notes_are_chosen_by_number(tmp_path):
    tool, output = copy_examples(tmp_path)
    child = pexpect.spawn(sys.executable, ["-P", str(tool)], encoding="utf-8", timeout=30)
    child.expect(r"\[4\] notes/meetings/planning_20240220\.txt")
    child.expect("請輸入檔案編號")
    child.sendline("3")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert (
        (output / "summary.md")
        .read_text(encoding="utf-8")
        .startswith("# Notes summary (1 files)\n\n## standup_20240105")
    )
