"""Shared utilities of the quillkit command-line tools.

The extension modules ``quillkit.chronicle`` (logging set-up and lazily named loggers) and
``quillkit.cargohold`` (files, downloads, configuration and terminal choices) are imported on
their own: ``from quillkit import cargohold``.
"""

__version__ = "0.1.0"
