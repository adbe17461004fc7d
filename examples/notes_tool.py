"""A small tool built on quillkit: reads the shipped notes, reports what it found through the
package's logging, and saves a summary into build/example-output/."""

from pathlib import Path

from quillkit import cargohold, chronicle

HERE = Path(__file__).resolve().parent
OUTPUT = HERE.parent / "build" / "example-output"

log = chronicle.lazy_logger("notes")


def main() -> int:
    chronicle.setup_logging("notes-tool", file=str(OUTPUT.parent / "example-debug.log"))
    OUTPUT.mkdir(parents=True, exist_ok=True)
    notes = cargohold.load_local_file_content(HERE / "data" / "notes.md", label="筆記")
    if not notes:
        log.error("no notes found")
        return 1
    items = [line[2:] for line in notes.splitlines() if line.startswith("- ")]
    log.info("found %d notes", len(items))
    summary = "\n".join(f"{number}. {item}" for number, item in enumerate(items, 1)) + "\n"
    ok, message = cargohold.save_local_file_content(OUTPUT / "summary.txt", summary, label="摘要")
    print(message)
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
