"""The wheel a user installs holds the modules, __init__.py, the stubs, py.typed and the licence,
with metadata that names the interpreter it was tested on, and no sources. Checked when
QUILLKIT_WHEEL names the wheel file whose installation is under test (tools/dev.sh release sets
it for each wheel it builds)."""

import email
import importlib.machinery
import os
import sys
import zipfile
from pathlib import Path

import pytest

import quillkit

WHEEL = os.environ.get("QUILLKIT_WHEEL")
PACKAGE_DIR = Path(quillkit.__file__).resolve().parent
MODULES = ["chronicle", "cargohold", "stampkit"]

pytestmark = pytest.mark.skipif(not WHEEL, reason="QUILLKIT_WHEEL names no wheel to check")


@pytest.fixture(scope="module")
def wheel():
    with zipfile.ZipFile(WHEEL) as archive:
        yield archive


def test_the_wheel_holds_the_package_and_nothing_else(wheel):
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]  # this interpreter's, as .cpython-313-….so
    info = f"quillkit-{quillkit.__version__}.dist-info"
    files = [name for name in wheel.namelist() if not name.endswith("/")]
    assert set(files) == (
        {f"quillkit/{module}{suffix}" for module in MODULES}
        | {f"quillkit/{module}.pyi" for module in MODULES}
        | {"quillkit/__init__.py", "quillkit/py.typed"}
        | {f"{info}/{name}" for name in ["METADATA", "WHEEL", "RECORD", "licenses/LICENSE"]}
    )
    # What the suite imports is what the wheel holds.
    for name in files:
        if name.startswith("quillkit/"):
            assert (PACKAGE_DIR.parent / name).read_bytes() == wheel.read(name), name


def test_the_wheel_metadata(wheel):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert Path(WHEEL).name.startswith(f"quillkit-{quillkit.__version__}-{tag}-{tag}-manylinux_")
    metadata = email.message_from_bytes(wheel.read(f"quillkit-{quillkit.__version__}.dist-info/METADATA"))
    assert (metadata["License-Expression"], metadata["License-File"]) == ("MIT", "LICENSE")
    classifiers = metadata.get_all("Classifier")
    for classifier in [
        f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}",
        "Programming Language :: C++",
        "Operating System :: POSIX",
    ]:
        assert classifier in classifiers
    assert "MIT License" in wheel.read(f"quillkit-{quillkit.__version__}.dist-info/licenses/LICENSE").decode()
