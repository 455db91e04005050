"""The supported Django and DRF releases, checked when the package is imported.
The installed versions are replaced in a fresh interpreter, before the import."""

import json

import pytest

from quorvel_core.versions import SUPPORTED_DJANGO, SUPPORTED_DRF, unsupported_versions

from .helpers import DJANGO_VERSION, DRF_VERSION, PACKAGE_ROOT, run_isolated

PATCH = """
import json, sys
import django, rest_framework
django.VERSION = tuple(%r)
rest_framework.VERSION = rest_framework.__version__ = %r
"""


def problems(django_version, drf_version):
    # The module by itself: importing it through the package runs the check.
    out = run_isolated(PATCH % (django_version, drf_version) + """
import importlib.util
found = importlib.util.spec_from_file_location("versions", %r)
versions = importlib.util.module_from_spec(found)
found.loader.exec_module(versions)
print(json.dumps(versions.unsupported_versions()))
""" % str(PACKAGE_ROOT / "quorvel_core" / "versions.py"))
    return json.loads(out)


def test_the_installed_releases_are_supported():
    assert DJANGO_VERSION in SUPPORTED_DJANGO and DRF_VERSION in SUPPORTED_DRF
    assert unsupported_versions() == []


@pytest.mark.parametrize("django_version, drf_version", [
    ((5, 2, 0, "final", 0), "3.16.0"), ((6, 0, 3, "final", 0), "3.17.1"),
    ((6, 1, 0, "final", 0), "3.18.3"), ((6, 1, 0, "beta", 1), "3.18.0"),
])
def test_supported_pairs_have_no_problem(django_version, drf_version):
    assert problems(django_version, drf_version) == []


@pytest.mark.parametrize("django_version, drf_version, expected", [
    ((5, 1, 4, "final", 0), "3.18.3",
     ["Django 5.1.4 is not supported; quorvel_core supports Django 5.2, 6.0 and 6.1."]),
    ((6, 2, 0, "alpha", 0), "3.18.3",
     ["Django 6.2.0 is not supported; quorvel_core supports Django 5.2, 6.0 and 6.1."]),
    ((5, 2, 1, "final", 0), "3.15.2",
     ["Django REST Framework 3.15.2 is not supported; quorvel_core supports Django REST "
      "Framework 3.16, 3.17 and 3.18."]),
    ((5, 2, 1, "final", 0), "3.19.0.dev0",
     ["Django REST Framework 3.19.0.dev0 is not supported; quorvel_core supports Django REST "
      "Framework 3.16, 3.17 and 3.18."]),
    ((4, 2, 0, "final", 0), "x",
     ["Django 4.2.0 is not supported; quorvel_core supports Django 5.2, 6.0 and 6.1.",
      "Django REST Framework x is not supported; quorvel_core supports Django REST "
      "Framework 3.16, 3.17 and 3.18."]),
    ((6, 1, 0, "final", 0), "3.17.2",
     ["Django REST Framework 3.17.2 does not run on Django 6.1.0; with Django 6.1 quorvel_core "
      "supports Django REST Framework 3.18."]),
])
def test_each_problem_is_named_with_the_supported_releases(django_version, drf_version, expected):
    assert problems(django_version, drf_version) == expected


@pytest.mark.parametrize("django_version, drf_version, text", [
    ((5, 1, 4, "final", 0), "3.18.3", "Django 5.1.4 is not supported"),
    ((5, 2, 1, "final", 0), "3.15.2", "Django REST Framework 3.15.2 is not supported"),
    ((6, 1, 0, "final", 0), "3.16.1", "Django REST Framework 3.16.1 does not run on Django 6.1.0"),
])
def test_import_fails_before_drf_internals_are_loaded(django_version, drf_version, text):
    out = run_isolated(PATCH % (django_version, drf_version) + """
try:
    import quorvel_core
except ImportError as exc:
    loaded = sorted(name for name in sys.modules
                    if name.startswith(("rest_framework.", "quorvel_core.")))
    print(json.dumps([str(exc), loaded]))
else:
    print(json.dumps(None))
""")
    result = json.loads(out)
    assert result is not None, "the import succeeded"
    message, loaded = result
    assert message.startswith("quorvel_core cannot be used here: ") and text in message
    assert loaded == ["quorvel_core.versions"]
