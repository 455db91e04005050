"""The native module: compiled serializer loops, the JSON encoder and reader, and the row loop."""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, final

# The shapes of the schema's entries and kinds, which the parsers read.
from quorvel_core.schema_keys import ReadEntry, WriteEntry

__version__: Final[str]
STATUS_OK: Final[int]
STATUS_SKIP: Final[int]
STATUS_ERROR: Final[int]

@final
class CompiledSerializer:
    """A DRF serializer instance compiled to native code."""

    def __new__(
        cls, read_fields: list[ReadEntry], write_fields: list[WriteEntry]
    ) -> CompiledSerializer: ...
    def to_representation(
        self, instance: object, current_tz: Any = None, serializer: Any = None
    ) -> dict[str, Any]: ...
    def to_representation_many(
        self, iterable: Iterable[object], current_tz: Any = None, serializer: Any = None
    ) -> list[dict[str, Any]]: ...
    def to_internal_value(
        self, data: dict[str, Any], current_tz: Any = None, serializer: Any = None
    ) -> tuple[dict[str, Any], dict[str, Any] | None] | None: ...
    def describe(self) -> dict[str, dict[str, tuple[str, str] | tuple[str, bool]]]: ...
    def _take_plans(self, other: CompiledSerializer, /) -> None: ...

@final
class ModelRows:
    """The instances of a queryset's rows, as Django's ModelIterable yields them."""

    def __new__(cls, plan: tuple[Any, ...], results: Iterable[Iterable[Any]],
                django_row: Callable[[Any], Any]) -> ModelRows: ...
    def __iter__(self) -> ModelRows: ...
    def __next__(self) -> Any: ...

class JsonFallback(Exception):
    """The native encoder cannot reproduce json.dumps() for this input; use the Python encoder."""

def configure(
    *,
    empty: object,
    skip_field: type[BaseException],
    object_does_not_exist: type[BaseException],
    pk_only_object: type,
    manager_class: type,
    dict_factory: Callable[[], Any],
    resolve_callable: Callable[[Any, str], Any],
    run_field: Callable[[Any, dict[str, Any], Callable[[Any], Any] | None], tuple[int, Any]],
    finish_field: Callable[[Any, Any, Callable[[Any], Any] | None, bool], tuple[int, Any]],
    source_failed: Callable[[Any, Any, BaseException], Any] | None = None,
) -> None: ...
def is_configured() -> bool: ...
def configure_rows(
    *,
    pre_init: Any,
    post_init: Any,
    no_receivers: object,
    deferred: object,
    model_state: type,
    weak_key_dict: type,
    plain_fields_cache: bool,
) -> None: ...
def to_json(
    obj: object,
    *,
    ensure_ascii: bool = True,
    compact: bool = True,
    allow_nan: bool = False,
    default: Callable[[Any], Any] | None = None,
) -> bytes: ...
def from_json(data: bytes | bytearray | str, *, allow_nan: bool = False) -> Any: ...
def watch(objects: tuple[dict[Any, Any] | type, ...], /) -> None: ...
def changes() -> int: ...
def cursor_converter(with_time: bool, django_converter: Callable[[bytes], Any], /) -> Callable[[bytes], Any]: ...
def configure_queryset_chain(*, queryset: type, query: type, where_node: type, node: type, fetch_modes: bool) -> None: ...
def deferred_filter(queryset: Any, kwargs: dict[str, Any], sticky: bool, alone: bool, /) -> Any: ...
def chained(queryset: Any, /) -> Any: ...
def related_by_key(objs: list[Any], keys: list[Any], /) -> dict[Any, list[Any]]: ...
def configure_prefetch(*, manager_class: type, queryset_class: type, default_db: str,
                       features_of: Callable[[str], Any], django_filter: Callable[..., Any],
                       django_chain: Callable[[Any], Any], missing: object) -> None: ...
def reverse_level(instances: Sequence[Any], keys: list[Any], related_by_key: dict[Any, list[Any]],
                  cache_name: str, queryset: Any, field: Any, attname: str, pk_attname: str,
                  remote_cache_name: str, model: type, features: dict[str, Any],
                  slow: Callable[[Any], Any], in_place: Callable[..., Any] | None, /) -> None: ...
def many_level(instances: Sequence[Any], keys: list[Any], related_by_key: dict[Any, list[Any]],
               cache_name: str, queryset: Any, core_attname: str, pk_attname: str,
               core_filter: str, prefetch_cache_name: str, model: type,
               slow: Callable[[Any], Any], in_place: Callable[..., Any] | None, /) -> None: ...
def filter_keys(instances: Sequence[Any], pk_attname: str, attname: str, /) -> list[Any] | None: ...
def level_keys(objs: Sequence[Any], attname: str | None, cls: type, int_keys: bool,
               key_of: Callable[[Any], Any], /) -> list[Any]: ...
def cache_reverse(related: Sequence[Any], attname: str | None, cls: type, cache_name: str,
                  instances: Mapping[Any, Any], key_of: Callable[[Any], Any], /) -> None: ...
def _parse_body(body: bytes, allow_nan: bool, /) -> Any: ...
def _fail_allocations(after: int, /) -> int: ...
