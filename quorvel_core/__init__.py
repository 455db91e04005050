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
    "resolve_callable", "run_field",
]

configure_native()
