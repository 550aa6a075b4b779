"""The extension refuses to load into an interpreter it was not built for."""

import ast
import os
import subprocess
import sys

import pytest

from korel import _korel

INTERPRETERS = [
    "/root/.pyenv/versions/3.9.18/bin/python",
    "/root/.pyenv/versions/3.10.13/bin/python",
    "/root/.pyenv/versions/3.12.1/bin/python",
]
OWN = "%d.%d." % sys.version_info[:2]
# Two interpreters of another minor version than the one running the tests.
OTHER_INTERPRETERS = [path for path in INTERPRETERS if OWN not in path][:2]

# Lazy binding: a module built for a newer interpreter may call functions an
# older one lacks, which must not stop the load before the version check runs.
LOAD = """
import importlib.machinery, importlib.util, os, sys
sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_LOCAL)
path = sys.argv[1]
loader = importlib.machinery.ExtensionFileLoader("korel._korel", path)
spec = importlib.util.spec_from_file_location("korel._korel", path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(repr(str(error)))
    print(repr(sys.version))
else:
    print("loaded")
"""


@pytest.mark.parametrize("interpreter", OTHER_INTERPRETERS, ids=os.path.basename)
def test_other_minor_version_gets_the_mismatch_error(interpreter):
    if not os.path.exists(interpreter):
        pytest.skip(interpreter + " is not installed")
    result = subprocess.run(
        [interpreter, "-I", "-c", LOAD, _korel.__file__], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    message, other_version = map(ast.literal_eval, result.stdout.splitlines())
    built_for = "%d.%d" % sys.version_info[:2]
    assert not other_version.startswith(built_for)
    assert message == (
        "Python version mismatch: module was compiled for Python %s, "
        "but the interpreter version is incompatible: %s." % (built_for, other_version)
    )
