"""The Django and DRF releases this package is built and tested against
(`make test-matrix` runs the suite on each pairing).

The native kinds stand in for DRF's field methods as written in these
releases; under any other release they could answer where DRF would not, so
the package refuses to load there rather than guess. Only the top-level
packages are read here: nothing of DRF's internals is imported before the
check.
"""

import django
import rest_framework

SUPPORTED_DJANGO = ((5, 2), (6, 0), (6, 1))
SUPPORTED_DRF = ((3, 16), (3, 17), (3, 18))
# Django releases that only newer DRF releases run on: DRF 3.16 and 3.17 fail
# to import their views under Django 6.1.
MINIMUM_DRF_FOR_DJANGO = {(6, 1): (3, 18)}


def _text(version):
    return ".".join(map(str, version))


def _listed(versions):
    names = [_text(v) for v in versions]
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def _series(version):
    """(major, minor) of a version tuple or text, or None when it has none."""
    parts = str(version).split(".") if isinstance(version, str) else list(version)
    try:
        return int(parts[0]), int(parts[1])
    except (IndexError, TypeError, ValueError):
        return None


def unsupported_versions():
    """What is wrong with the installed Django and DRF, one message each; an
    empty list when both are supported releases that run together."""
    django_version = _series(django.VERSION)
    drf_text = getattr(rest_framework, "VERSION", getattr(rest_framework, "__version__", "?"))
    drf_version = _series(drf_text)
    django_text = ".".join(map(str, django.VERSION[:3]))
    problems = []
    if django_version not in SUPPORTED_DJANGO:
        problems.append(f"Django {django_text} is not supported; quorvel_core supports Django "
                        f"{_listed(SUPPORTED_DJANGO)}.")
    if drf_version not in SUPPORTED_DRF:
        problems.append(f"Django REST Framework {drf_text} is not supported; quorvel_core "
                        f"supports Django REST Framework {_listed(SUPPORTED_DRF)}.")
    minimum = MINIMUM_DRF_FOR_DJANGO.get(django_version)
    if not problems and minimum is not None and drf_version < minimum:
        problems.append(f"Django REST Framework {drf_text} does not run on Django {django_text}; "
                        f"with Django {_text(django_version)} quorvel_core supports Django REST "
                        f"Framework {_listed([v for v in SUPPORTED_DRF if v >= minimum])}.")
    return problems
