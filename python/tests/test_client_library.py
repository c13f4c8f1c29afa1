"""Finding the library (KQVXI_LIBRARY, KQVXI_PREFIX), versions and status texts,
the decoding of raw records, and installing the package with pip offline."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys

import pytest

import kqvxi

PACKAGE_ROOT = os.path.join(os.path.dirname(__file__), os.pardir)


def run_python(code: str, env_changes: dict, path: str = PACKAGE_ROOT) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    env.pop("KQVXI_LIBRARY", None)
    env.pop("KQVXI_PREFIX", None)
    env.update(env_changes)
    env["PYTHONPATH"] = path
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


def test_version_and_status_texts():
    assert re.fullmatch(r"\d+\.\d+\.\d+", kqvxi.version())
    # One release for the tree: the package and the library built beside it agree.
    assert kqvxi.version() == kqvxi.__version__
    assert kqvxi.strerror(0) == "success"
    texts = {kqvxi.strerror(s) for s in range(-1, -13, -1)}
    assert len(texts) == 12 and "unknown status" not in texts
    assert kqvxi.strerror(-999) == "unknown status"
    # Every status has its exception class, all under Error.
    for status, cls in kqvxi.errors.STATUS_CLASSES.items():
        e = kqvxi.errors.error_for(status, kqvxi.strerror(status))
        assert type(e) is cls and isinstance(e, kqvxi.Error) and e.status == status
    assert type(kqvxi.errors.error_for(-77, "x")) is kqvxi.Error


def test_library_from_a_prefix_and_a_bad_path_refused(tmp_path):
    library = kqvxi._library.library_path()
    if not os.path.isabs(library):
        pytest.skip("the library came from the loader path")
    # An install prefix with the library in lib/ (or bin/ for a DLL).
    folder = tmp_path / ("bin" if sys.platform == "win32" else "lib")
    folder.mkdir()
    for name in os.listdir(os.path.dirname(library)):
        if name.startswith(("libkqvxi", "kqvxi", "KQVXINT", "libkqvxint")) or name.endswith(".dll"):
            source = os.path.join(os.path.dirname(library), name)
            if os.path.isfile(source):
                shutil.copy(source, folder / name)
    r = run_python("import kqvxi; print(kqvxi.version()); print(kqvxi._library.library_path())",
                   {"KQVXI_PREFIX": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.split()[1].startswith(str(tmp_path)), r.stdout

    # A path named on purpose that does not load is an error, not a fallback.
    r = run_python("import kqvxi\ntry:\n kqvxi.version()\nexcept kqvxi.LibraryNotFound as e:\n print('refused', e)",
                   {"KQVXI_LIBRARY": str(tmp_path / "nothing.so")})
    assert r.returncode == 0 and r.stdout.startswith("refused"), (r.stdout, r.stderr)
    # Importing never needs the library.
    r = run_python("import kqvxi; print(kqvxi.__version__)", {"KQVXI_LIBRARY": str(tmp_path / "nothing.so")})
    assert r.returncode == 0 and r.stdout.strip() == kqvxi.__version__


def test_decode_raw_records():
    d = kqvxi.decode
    assert d(0xDEAD0003, 0xFFFFFFFF, 0, 0).value == -1
    assert d(0xDEAD0005, 0xFFFF, 0, 0).value == 65535
    assert d(0xDEAD0006, 5, 0, 0) == kqvxi.SourceRecord(0xDEAD0006, 5, 0, 0, source=5, marked=False)
    assert d(0xDEAD0006, 0xABCD0005, 0, 0).marked
    assert d(0xDEAD0007, 0xFFFFFFFF, 33, 0x10000).index == -1
    assert d(0xDEAD0009, 0, 50, 7).channel == 50
    assert type(d(0xDEAD03E7, 0, 0, 0)) is kqvxi.UnregisteredRecord
    unknown = d(0xDEAD000A, 1, 2, 3)
    assert type(unknown) is kqvxi.UnknownRecord and unknown.cls is kqvxi.EventClass.UNKNOWN
    assert (unknown.arg1, unknown.arg2, unknown.arg3) == (1, 2, 3)
    assert kqvxi.EventClass.SOURCE_LEVEL.label == "source-level"
    assert kqvxi.EventClass.CHANNEL.code == 0xDEAD0009


def test_pip_installs_offline(tmp_path):
    if subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode != 0:
        pytest.skip("pip is not installed")
    if subprocess.run([sys.executable, "-c", "import setuptools"], capture_output=True).returncode != 0:
        pytest.skip("setuptools is not installed")
    source = tmp_path / "src"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__"))
    target = tmp_path / "site"
    r = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps",
         "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True, timeout=300,
    )
    assert r.returncode == 0, r.stdout + r.stderr
    r = run_python("import kqvxi, os; print(kqvxi.__version__, os.path.dirname(kqvxi.__file__)); print(kqvxi.version())",
                   {"KQVXI_LIBRARY": kqvxi._library.library_path()}, path=str(target))
    assert r.returncode == 0, r.stderr
    version, where = r.stdout.split()[:2]
    assert version == kqvxi.__version__ and where.startswith(str(target))
    assert os.path.exists(os.path.join(where, "py.typed"))
