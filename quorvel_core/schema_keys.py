"""The schema that `CompiledSerializer(read_fields, write_fields)` reads.

Each field is an entry dict (`ReadEntry`, `WriteEntry`) holding kind dicts:
the read side's value access ("get", a `GetKind`) and representation
("repr", a `ReprKind`), the write side's validator ("val", a `ValKind`). A
kind dict names its kind in "type" and carries that kind's own keys. The
native parsers read these keys by the names listed in `src/schema_keys.hpp`;
`SCHEMA_KEYS` is the same list, taken from the shapes below, so a key added
on one side only is caught by the tests.

A key that is `NotRequired` may be left out (or, for the flags, numbers and
objects, be None): the native parser then takes its default, named in the
comment where it is not plain "off" or "no limit".
"""

from collections.abc import Callable
from datetime import tzinfo
from typing import Any, Literal, NotRequired, TypedDict

from django.db.models import Model
from rest_framework.fields import Field

from ._quorvel_core import CompiledSerializer

# --- Value access ("get") ---------------------------------------------------------


class ForwardStep(TypedDict):
    """A forward many-to-one or one-to-one relation, read from its cache."""

    kind: Literal["forward"]
    cache_name: str
    null: NotRequired[bool]
    name: str
    model: type[Model]


class ReverseOneStep(TypedDict):
    """A reverse one-to-one relation, read from its cache."""

    kind: Literal["reverse_one"]
    cache_name: str
    name: str
    model: type[Model]


class ManyStep(TypedDict):
    """A to-many relation, read from the prefetch cache; `required` names the
    attributes the related manager needs set on the instance."""

    kind: Literal["many"]
    cache_name: str
    required: list[str]
    name: str
    model: type[Model]


RelationStep = ForwardStep | ReverseOneStep | ManyStep


class PythonKind(TypedDict):
    """Any side of a field that DRF's own code runs."""

    type: Literal["python"]


class StarGet(TypedDict):
    """The instance itself (source "*")."""

    type: Literal["star"]


class AttrsGet(TypedDict):
    """A source chain: plain attribute names and relation steps."""

    type: Literal["attrs"]
    attrs: list[str | RelationStep]


class ManyGet(TypedDict):
    """A ManyRelatedField's prefetched list: one to-many step."""

    type: Literal["many"]
    attrs: list[RelationStep]


class PkAttnameGet(TypedDict):
    """A primary-key related field's foreign key column."""

    type: Literal["pk_attname"]
    attname: str
    from_dict: NotRequired[bool]


GetKind = StarGet | AttrsGet | ManyGet | PkAttnameGet | PythonKind


# --- Representation ("repr") -------------------------------------------------------


class PlainRepr(TypedDict):
    """A kind with no settings of its own."""

    type: Literal["passthrough", "str", "int", "float", "bool", "date", "time", "uuid", "pk",
                  "pk_many"]


class DecimalRepr(TypedDict):
    type: Literal["decimal"]
    decimal_places: NotRequired[int | None]
    max_digits: NotRequired[int | None]
    coerce_to_string: NotRequired[bool]  # default: True


class DateTimeKind(TypedDict):
    """A datetime, on either side: the field's own zone (`timezone`), else the
    zone current at the call when `use_tz`, else none."""

    type: Literal["datetime"]
    timezone: NotRequired[tzinfo | None]
    use_tz: NotRequired[bool]


class ChoiceRepr(TypedDict):
    type: Literal["choice"]
    map: dict[str, Any]


class ContainerRepr(TypedDict):
    """A ListField or DictField: `child` represents each item; `child_field`
    is the DRF child field for fallbacks (without one, the current field's)."""

    type: Literal["list", "dict"]
    child: "ReprKind"
    child_field: NotRequired[Field | None]


class NestedRepr(TypedDict):
    type: Literal["nested"]
    serializer: CompiledSerializer
    many: NotRequired[bool]


class MethodRepr(TypedDict):
    """A SerializerMethodField: the bound method, or in a plan shared by a
    class's instances, the name to look up on the current serializer."""

    type: Literal["method"]
    method: NotRequired[Callable[[Any], Any]]
    method_name: NotRequired[str]


class ModelAttrRepr(TypedDict):
    type: Literal["model_attr"]
    attname: str


ReprKind = (PlainRepr | DecimalRepr | DateTimeKind | ChoiceRepr | ContainerRepr | NestedRepr
            | MethodRepr | ModelAttrRepr | PythonKind)


# --- Validation ("val") ------------------------------------------------------------


class CharVal(TypedDict):
    type: Literal["char"]
    allow_blank: NotRequired[bool]
    trim_whitespace: NotRequired[bool]  # default: True
    email: NotRequired[bool]
    max_length: NotRequired[int | None]
    min_length: NotRequired[int | None]


class IntVal(TypedDict):
    type: Literal["int"]
    max_value: NotRequired[int | None]
    min_value: NotRequired[int | None]


class FloatVal(TypedDict):
    type: Literal["float"]
    max_value: NotRequired[float | None]
    min_value: NotRequired[float | None]


class BoolVal(TypedDict):
    type: Literal["bool"]
    allow_null: NotRequired[bool]


class DecimalVal(TypedDict):
    type: Literal["decimal"]
    max_digits: NotRequired[int | None]
    decimal_places: NotRequired[int | None]


class PlainVal(TypedDict):
    type: Literal["date", "uuid"]


class ChoiceVal(TypedDict):
    type: Literal["choice"]
    map: dict[str, Any]
    allow_blank: NotRequired[bool]


class ListVal(TypedDict):
    type: Literal["list"]
    child: "ValKind"
    child_allow_null: NotRequired[bool]
    allow_empty: NotRequired[bool]  # default: True
    max_length: NotRequired[int | None]
    min_length: NotRequired[int | None]


class NestedVal(TypedDict):
    """A nested serializer; with `many`, a list of them and the list's lengths."""

    type: Literal["nested"]
    serializer: CompiledSerializer
    many: NotRequired[bool]
    allow_empty: NotRequired[bool]  # default: True
    max_length: NotRequired[int | None]
    min_length: NotRequired[int | None]


ValKind = (CharVal | IntVal | FloatVal | BoolVal | DecimalVal | PlainVal | DateTimeKind
           | ChoiceVal | ListVal | NestedVal | PythonKind)


# --- Entries -------------------------------------------------------------------------


class ReadEntry(TypedDict):
    """One field of `read_fields`. Without `field`, the field is the one of
    that name of the serializer each call runs for; without `get` (or with
    None), DRF's `get_attribute` reads the value."""

    name: str
    field: NotRequired[Field | None]
    get: NotRequired[GetKind | None]
    repr: ReprKind


class WriteEntry(TypedDict):
    """One field of `write_fields`. `validate_method` is the serializer's bound
    `validate_<name>`; a plan shared by a class's instances names it instead
    (`validate_name`, and `validate_on_class`: whether the class has it, by
    default True). `validators_stand_in(serializer)` gives an object whose
    `run_validators` runs the field's validators without the field."""

    name: str
    field: NotRequired[Field | None]
    source_attrs: list[str]
    validate_method: NotRequired[Callable[[Any], Any] | None]
    validate_name: NotRequired[str]
    validate_on_class: NotRequired[bool]
    val: ValKind
    skip_when_missing: NotRequired[bool]
    skip_when_partial: NotRequired[bool]
    allow_null: NotRequired[bool]
    python_validators: NotRequired[bool]
    validators_stand_in: NotRequired[Callable[[Any], Any] | None]


# Every shape the native parsers read, entries first.
_SHAPES: tuple[type, ...] = (
    ReadEntry, WriteEntry,
    PythonKind, StarGet, AttrsGet, ManyGet, PkAttnameGet, ForwardStep, ReverseOneStep, ManyStep,
    PlainRepr, DecimalRepr, DateTimeKind, ChoiceRepr, ContainerRepr, NestedRepr, MethodRepr,
    ModelAttrRepr,
    CharVal, IntVal, FloatVal, BoolVal, DecimalVal, PlainVal, ChoiceVal, ListVal, NestedVal,
)

# Every key of the schema, once each: the list in src/schema_keys.hpp.
SCHEMA_KEYS = tuple(dict.fromkeys(key for shape in _SHAPES for key in shape.__annotations__))
