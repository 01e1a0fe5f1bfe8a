"""User settings of the master, kept as one JSON document under the base directory.

A setting is named by a dotted path into nested objects: "editor.font.size" is
``settings["editor"]["font"]["size"]``. The empty path (or none) names the whole
document. Nothing touches the disk until the first read (which only reads) or
the first write (which creates the directory and the file).
"""
import contextlib
import copy
import json
import os
import tempfile
from pathlib import Path

from ..logging_config import get_logger

logger = get_logger(__name__)

SETTINGS_FILE = "settings.json"


class SettingsManager:
    def __init__(self, base_dir):
        self.base_dir = Path(base_dir)
        self.file = self.base_dir / SETTINGS_FILE
        self._settings = None  # loaded at first use
        self._file_unreadable = False

    def get(self, path):
        """The value at `path` (a copy), or None when nothing is stored there."""
        node = self._load()
        for key in _split(path):
            if not isinstance(node, dict) or key not in node:
                return None
            node = node[key]
        return copy.deepcopy(node)

    def set(self, path, value):
        """Store `value` at `path` and write the file; raises instead of storing a part."""
        keys = _split(path)
        if not keys:
            raise ValueError("A setting path must name a setting")
        try:
            value = json.loads(json.dumps(value))  # a detached copy, and proof it can be saved
        except (TypeError, ValueError) as e:
            raise TypeError(f"Setting {path!r} cannot be stored as JSON: {e}") from None
        settings = copy.deepcopy(self._load())
        node = settings
        for i, key in enumerate(keys[:-1]):
            child = node.setdefault(key, {})
            if not isinstance(child, dict):
                # Replacing a stored value by a group would silently lose it.
                raise ValueError(f"Setting {'.'.join(keys[:i + 1])!r} holds a value, not a group of settings")
            node = child
        node[keys[-1]] = value
        self._write(settings)
        self._settings = settings

    def get_all(self):
        """Every setting, as a copy of the whole document."""
        return copy.deepcopy(self._load())

    def _load(self):
        if self._settings is None:
            self._settings = {}
            try:
                text = self.file.read_text(encoding="utf-8")
            except FileNotFoundError:
                return self._settings
            try:
                data = json.loads(text)
            except ValueError as e:
                data = None
                logger.warning(f"Settings file {self.file} is not valid JSON ({e}); starting with empty settings")
            if isinstance(data, dict):
                self._settings = data
            else:
                self._file_unreadable = True
        return self._settings

    def _write(self, settings):
        self.base_dir.mkdir(parents=True, exist_ok=True)
        if self._file_unreadable and self.file.exists():
            # Keep what the user had instead of overwriting it.
            backup = self.file.with_name(SETTINGS_FILE + ".broken")
            os.replace(self.file, backup)
            logger.warning(f"Unreadable settings file kept as {backup}")
            self._file_unreadable = False
        fd, tmp = tempfile.mkstemp(prefix=".settings-", suffix=".tmp", dir=self.base_dir)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(settings, f, indent=2, ensure_ascii=False)
                f.write("\n")
            os.replace(tmp, self.file)  # readers never see a half-written file
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            raise


def _split(path):
    if path is None or path == "":
        return []
    if not isinstance(path, str):
        raise TypeError(f"A setting path must be text, not {type(path).__name__}")
    keys = path.split(".")
    if any(not key for key in keys):
        raise ValueError(f"Setting path {path!r} has an empty part")
    return keys

