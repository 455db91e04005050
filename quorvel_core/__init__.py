"""quorvel_core: a native accelerator for Django REST Framework serializers.

Importing the package configures the native module with DRF's and Django's
objects and the hooks of `quorvel_core.hooks` (once per process).
"""

from . import _quorvel_core
from .hooks import configure_native, finish_field, resolve_callable, run_field
from .explain import explain
from .schema import build_schema, compile_serializer, current_timezone

__version__ = _quorvel_core.__version__

__all__ = [
    "build_schema", "compile_serializer", "current_timezone", "explain", "finish_field",
    "install", "is_installed", "resolve_callable", "run_field", "uninstall",
]

configure_native()

_INSTALLATION = ("install", "is_installed", "uninstall")


def __getattr__(name):
    # DRF's renderers read the Django settings on import, so the process-wide
    # mode is loaded on first use: importing the package needs no settings.
    if name in _INSTALLATION:
        from . import installation

        return getattr(installation, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
