"""Finding and loading the kqvxi client library, and its C declarations.

The library is loaded on first use, not at import, so that ``import kqvxi``
works on a machine without it (for documentation, type checking). Where it is
looked for, in order:

1. ``KQVXI_LIBRARY``: the path of the library file itself.
2. ``KQVXI_PREFIX``: an install prefix; its ``lib/``, ``lib64/``,
   ``lib/<multiarch>/`` and (for the DLL) ``bin/`` folders.
3. The system's loader path (``libkqvxi.so.1``, then
   ``ctypes.util.find_library``).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
import sysconfig
import threading
from typing import List, Optional

# Structures of kqvxi/kqvxi.h and kqvxi/events.h, field for field.


class Record(ctypes.Structure):
    _fields_ = [
        ("code", ctypes.c_uint32),
        ("arg1", ctypes.c_uint32),
        ("arg2", ctypes.c_uint32),
        ("arg3", ctypes.c_uint32),
    ]


class Event(ctypes.Structure):
    _fields_ = [
        ("raw", Record),
        ("cls", ctypes.c_int32),
        ("value", ctypes.c_uint32),
        ("index", ctypes.c_int32),
        ("level", ctypes.c_uint32),
        ("channel", ctypes.c_uint32),
        ("source", ctypes.c_uint32),
        ("marked", ctypes.c_uint32),
    ]


class Options(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("timeout_ms", ctypes.c_uint32),
        ("coalesce_us", ctypes.c_uint32),
        ("spin_us", ctypes.c_uint32),
    ]


class Stats(ctypes.Structure):
    _fields_ = [
        ("delivered", ctypes.c_uint64),
        ("dropped", ctypes.c_uint64),
        ("dropped_full", ctypes.c_uint64),
        ("dropped_ended", ctypes.c_uint64),
        ("dropped_lock_kept", ctypes.c_uint64),
        ("lock_waits", ctypes.c_uint64),
        ("received", ctypes.c_uint64),
        ("server_restarts", ctypes.c_uint32),
        ("slot", ctypes.c_uint32),
        ("server_pid", ctypes.c_uint32),
        ("controller", ctypes.c_uint32),
    ]


class ServerInfo(ctypes.Structure):
    _fields_ = [
        ("controller", ctypes.c_uint32),
        ("pid", ctypes.c_uint32),
        ("instance", ctypes.c_uint32),
        ("clients", ctypes.c_uint32),
        ("uptime_ms", ctypes.c_uint64),
    ]


LEVEL_INDEXES = 255
SOURCE_INDEXES = 255
CHANNEL_INDEXES = 256


class ClientInfo(ctypes.Structure):
    _fields_ = [
        ("slot", ctypes.c_uint32),
        ("pid", ctypes.c_uint32),
        ("alive", ctypes.c_uint32),
        ("flag_classes", ctypes.c_uint32),
        ("delivered", ctypes.c_uint64),
        ("dropped_full", ctypes.c_uint64),
        ("dropped_ended", ctypes.c_uint64),
        ("dropped_lock_kept", ctypes.c_uint64),
        ("lock_waits", ctypes.c_uint64),
        ("level_masks", ctypes.c_uint16 * LEVEL_INDEXES),
        ("source_level_masks", ctypes.c_uint16 * SOURCE_INDEXES),
        ("channel_masks", ctypes.c_uint16 * CHANNEL_INDEXES),
    ]


MAX_CLIENTS = 50
RING_RECORDS = 100
INFINITE = 0xFFFFFFFF
OPEN_REREGISTER = 0x1

_handle = ctypes.c_void_p
_u32 = ctypes.c_uint32
_int = ctypes.c_int

# Name, result type, argument types of every call the package uses.
_PROTOTYPES = [
    ("kqvxi_version", ctypes.c_char_p, []),
    ("kqvxi_strerror", ctypes.c_char_p, [_int]),
    ("kqvxi_options_init", None, [ctypes.POINTER(Options)]),
    ("kqvxi_client_open", _int, [ctypes.c_uint16, ctypes.POINTER(Options), ctypes.POINTER(_handle)]),
    ("kqvxi_client_close", _int, [_handle]),
    ("kqvxi_client_free", None, [_handle]),
    ("kqvxi_select_class", _int, [_handle, _int, _int]),
    ("kqvxi_select_levels", _int, [_handle, _u32, _u32, _int]),
    ("kqvxi_select_source_levels", _int, [_handle, _u32, _u32, _int]),
    ("kqvxi_select_channel", _int, [_handle, _u32, _u32, _int]),
    ("kqvxi_client_read", _int, [_handle, ctypes.POINTER(Event), _int, _u32]),
    ("kqvxi_client_interrupt", _int, [_handle]),
    ("kqvxi_client_descriptor", _int, [_handle, ctypes.POINTER(ctypes.c_ssize_t)]),
    ("kqvxi_client_stats", _int, [_handle, ctypes.POINTER(Stats)]),
    (
        "kqvxi_server_status",
        _int,
        [ctypes.c_uint16, ctypes.POINTER(ServerInfo), ctypes.POINTER(ClientInfo), _int],
    ),
]

# File names the library has had or has on each system, newest first.
if sys.platform == "win32":
    _NAMES = ["kqvxi.dll", "libkqvxi.dll", "libkqvxi-1.dll", "kqvxi_client.dll", "libkqvxi_client.dll"]
elif sys.platform == "darwin":
    _NAMES = ["libkqvxi.1.dylib", "libkqvxi.dylib", "libkqvxi_client.dylib"]
else:
    _NAMES = ["libkqvxi.so.1", "libkqvxi.so", "libkqvxi_client.so"]


class LibraryNotFound(OSError):
    """The kqvxi client library could not be found or loaded."""


def _prefix_folders(prefix: str) -> List[str]:
    folders = [os.path.join(prefix, "lib"), os.path.join(prefix, "lib64")]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        folders.append(os.path.join(prefix, "lib", multiarch))
    folders.extend(sorted(glob.glob(os.path.join(prefix, "lib", "*-*-*"))))
    if sys.platform == "win32":
        folders.insert(0, os.path.join(prefix, "bin"))
    return folders


def candidate_paths() -> List[str]:
    """Every file or loader name tried, in order (for error messages and tests)."""
    paths: List[str] = []
    explicit = os.environ.get("KQVXI_LIBRARY")
    if explicit:
        paths.append(explicit)
    prefix = os.environ.get("KQVXI_PREFIX")
    if prefix:
        for folder in _prefix_folders(prefix):
            paths.extend(os.path.join(folder, name) for name in _NAMES)
    paths.extend(_NAMES)
    for stem in ("kqvxi", "kqvxi_client"):
        found = ctypes.util.find_library(stem)
        if found and found not in paths:
            paths.append(found)
    return paths


# Folders added to the DLL search path; kept so that they stay added.
_dll_folders: list = []


def _load_one(path: str) -> ctypes.CDLL:
    if sys.platform == "win32" and os.path.isabs(path):
        # Its own folder first: the board library and the runtime lie beside it.
        _dll_folders.append(os.add_dll_directory(os.path.dirname(path)))
    return ctypes.CDLL(path)


def _open() -> ctypes.CDLL:
    explicit = os.environ.get("KQVXI_LIBRARY")
    if explicit:
        # A path named on purpose is the only one tried: falling back to another
        # library would hide the mistake.
        try:
            return _load_one(explicit)
        except OSError as e:
            raise LibraryNotFound(f"KQVXI_LIBRARY={explicit} could not be loaded: {e}") from e
    errors: List[str] = []
    for path in candidate_paths():
        if os.path.isabs(path) and not os.path.exists(path):
            continue
        try:
            return _load_one(path)
        except OSError as e:
            errors.append(f"{path}: {e}")
    detail = "; ".join(errors) if errors else "no candidate found"
    raise LibraryNotFound(
        "the kqvxi client library was not found (set KQVXI_LIBRARY to its path or "
        f"KQVXI_PREFIX to its install prefix): {detail}"
    )


def _lacking(library: str, name: str):
    """Stands in for a call the loaded library lacks (an older 1.x): fails when used."""

    def call(*args):
        raise LibraryNotFound(f"{library} lacks {name}: a newer kqvxi client library is needed")

    return call


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def lib() -> ctypes.CDLL:
    """The loaded library with its prototypes set; loads it on the first call.
    A call the library lacks fails only when it is used."""
    global _lib
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is None:
            loaded = _open()
            if not hasattr(loaded, "kqvxi_client_open"):
                raise LibraryNotFound(f"{loaded._name} is not a kqvxi 1.x client library (no kqvxi_client_open)")
            for name, restype, argtypes in _PROTOTYPES:
                try:
                    function = getattr(loaded, name)
                except AttributeError:
                    setattr(loaded, name, _lacking(str(loaded._name), name))
                    continue
                function.restype = restype
                function.argtypes = argtypes
            _lib = loaded
    return _lib


def library_path() -> str:
    """The name or path the library was loaded by."""
    return str(lib()._name)
