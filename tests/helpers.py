"""Test helpers shared by the suite."""

import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import django
import rest_framework

ROOT = Path(__file__).resolve().parent.parent
# Where the package under test lives: the checkout, or the sanitizer build's
# copy of the package (make test-asan), which isolated runs must load too.
PACKAGE_ROOT = Path(os.path.abspath(importlib.util.find_spec("quorvel_core").origin)).parent.parent


# The installed releases, for the few answers that differ between the supported
# ones (make test-matrix runs the suite against each).
DJANGO_VERSION = django.VERSION[:2]
DRF_VERSION = tuple(int(part) for part in rest_framework.VERSION.split(".")[:2])


def run_isolated(code: str) -> str:
    """Runs `code` in a fresh interpreter (for process-wide, set-once state such
    as configure()) and returns its stdout; fails the test if it fails."""
    path = os.pathsep.join(dict.fromkeys([str(PACKAGE_ROOT), str(ROOT)]))
    env = dict(os.environ, PYTHONPATH=path, DJANGO_SETTINGS_MODULE="tests.project.settings")
    proc = subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, f"isolated run failed:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# Loads the extension by file, bypassing the package (which configures it on
# import), so that isolated runs can see the module as a fresh process does;
# the file is the one built for the interpreter that runs, as the package's
# own import would pick.
LOAD_NATIVE = """
import importlib.machinery, importlib.util, sysconfig
_path = %r + '/quorvel_core/_quorvel_core' + sysconfig.get_config_var('EXT_SUFFIX')
_loader = importlib.machinery.ExtensionFileLoader('_quorvel_core', _path)
native = importlib.util.module_from_spec(importlib.util.spec_from_loader('_quorvel_core', _loader))
_loader.exec_module(native)
""" % str(PACKAGE_ROOT)
