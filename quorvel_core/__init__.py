"""quorvel_core: a native accelerator for Django REST Framework serializers.

Importing the package configures the native module with DRF's and Django's
objects and the hooks of `quorvel_core.hooks` (once per process).
"""

from .versions import unsupported_versions as _unsupported_versions

# Checked before anything below imports DRF's internals, which differ
# between releases: an unsupported release fails here, by name.
if _problems := _unsupported_versions():
    raise ImportError("quorvel_core cannot be used here: " + " ".join(_problems))

from . import _quorvel_core  # noqa: E402
from .hooks import configure_native, finish_field, resolve_callable, run_field  # noqa: E402
from .explain import explain  # noqa: E402
from .schema import build_schema, compile_serializer, current_timezone  # noqa: E402

# The accelerated stand-ins for DRF's serializer methods are defined there, and
# kinds sees through them when it decides what a class runs: loaded now, so
# that they are known before any class is looked at, whatever is imported
# first (kinds cannot import it itself: it imports kinds, through schema).
from . import serializers  # noqa: E402,F401

__version__ = _quorvel_core.__version__

__all__ = [
    "build_schema", "compile_serializer", "current_timezone", "explain", "finish_field",
    "install", "is_installed", "is_orm_installed", "resolve_callable", "run_field", "uninstall",
]

configure_native()

_INSTALLATION = ("install", "is_installed", "is_orm_installed", "uninstall")


def __getattr__(name):
    # DRF's renderers read the Django settings on import, so the process-wide
    # mode is loaded on first use: importing the package needs no settings.
    if name in _INSTALLATION:
        from . import installation

        return getattr(installation, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
