"""Runs pytest with the given arguments; exits 77 (ctest's skip) when this
interpreter has no pytest."""

import importlib.util
import sys

if importlib.util.find_spec("pytest") is None:
    print(f"{sys.executable} has no pytest (scripts/install-deps test installs it): skipped")
    sys.exit(77)

import pytest  # noqa: E402

sys.exit(pytest.main(sys.argv[1:]))
