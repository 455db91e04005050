"""quorvel_core: a native accelerator for Django REST Framework serializers."""

import datetime
from collections.abc import Callable
from typing import Any, Final

from rest_framework.fields import Field
from rest_framework.serializers import BaseSerializer

from . import _quorvel_core as _quorvel_core
from ._quorvel_core import CompiledSerializer
from .schema_keys import ReadEntry, WriteEntry

__version__: Final[str]
__all__ = [
    "build_schema", "compile_serializer", "current_timezone", "explain", "finish_field",
    "install", "is_installed", "is_orm_installed", "resolve_callable", "run_field", "uninstall",
]

_Outcome = tuple[int, Any]

def build_schema(
    serializer: BaseSerializer[Any], *, read: bool = True, write: bool = True
) -> tuple[list[ReadEntry] | None, list[WriteEntry] | None]: ...
def compile_serializer(
    serializer: BaseSerializer[Any], *, read: bool = True, write: bool = True
) -> CompiledSerializer | None: ...
def current_timezone() -> datetime.tzinfo | None: ...
def explain(serializer: BaseSerializer[Any]) -> str: ...
def resolve_callable(value: Any, name: str) -> Any: ...
def run_field(
    field: Field[Any, Any, Any, Any], data: dict[str, Any],
    validate_method: Callable[[Any], Any] | None,
) -> _Outcome: ...
def finish_field(
    field: Field[Any, Any, Any, Any], value: Any, validate_method: Callable[[Any], Any] | None,
    run_validators: bool,
) -> _Outcome: ...
def configure_native() -> bool: ...
def install(orm: bool = True) -> bool: ...
def uninstall() -> bool: ...
def is_installed() -> bool: ...
def is_orm_installed() -> bool: ...
