# The setup script of the example tool: the tool reads its name, version and command from here.
from setuptools import setup

setup(
    name="quill-notes",
    version="1.2.0",
    entry_points={"console_scripts": ["quill-notes = notes.cli:main"]},
)
