"""The companion package against DRF itself: the hooks, the schema it builds
from real serializers, and the value-access plans over Django's caches."""

import functools
import json
from collections.abc import Mapping
from decimal import Decimal
from zoneinfo import ZoneInfo

import pytest
from django.core.exceptions import ObjectDoesNotExist
from django.core.exceptions import ValidationError as DjangoValidationError
from django.db.models import Prefetch
from django.db.models.manager import BaseManager
from django.db.models.query import QuerySet
from django.test import override_settings
from rest_framework import serializers as s
from rest_framework.fields import SkipField, get_attribute
from rest_framework.relations import ManyRelatedField, PKOnlyObject, RelatedField

import quorvel_core
from quorvel_core import build_schema, compile_serializer, finish_field, resolve_callable, run_field
from quorvel_core import schema
from quorvel_core.hooks import STATUS_ERROR, STATUS_OK, STATUS_SKIP
from tests.project.shop.models import Author, Book, Gadget, Publisher, Review, Tag

from . import companion_cases as cases
from .helpers import run_isolated


@pytest.fixture
def schema_only(monkeypatch):
    monkeypatch.setattr(schema, "_construct", cases.Nested)


def entries(fields):
    return {entry["name"]: entry for entry in fields}


# --- The mapping ----------------------------------------------------------------

@pytest.mark.parametrize("name", sorted({row[0] for row in cases.EXPECTED}))
def test_mapping_table(schema_only, name):
    serializer = cases.serializers()[name]
    assert cases.schema_kinds(*build_schema(serializer)) == cases.expected_kinds(name)


def test_read_plans_follow_the_models_relations(schema_only):
    book = entries(build_schema(cases.BookSerializer())[0])
    assert book["publisher"]["get"] == {
        "type": "pk_attname", "attname": "publisher_id", "from_dict": True}
    forward = {"kind": "forward", "cache_name": "publisher", "null": True,
               "name": "publisher", "model": Book}
    assert book["publisher_name"]["get"] == {"type": "attrs", "attrs": [forward, "name"]}
    assert book["publisher_detail"]["get"] == {"type": "attrs", "attrs": [forward]}
    many = {"kind": "many", "cache_name": "reviews", "required": ["pk"], "name": "reviews",
            "model": Book}
    assert book["reviews"]["get"] == {"type": "attrs", "attrs": [many]}
    assert book["review_ids"]["get"] == {"type": "many", "attrs": [many]}
    assert book["tag_items"]["get"]["attrs"][0]["cache_name"] == "tags"
    # Without a nested list to iterate it, a to-many source is the manager DRF hands over.
    assert book["first_review"].get("get") is None

    author = entries(build_schema(cases.AuthorSerializer())[0])
    reverse_one = {"kind": "reverse_one", "cache_name": "profile", "name": "profile",
                   "model": Author}
    assert author["profile"]["get"] == {"type": "attrs", "attrs": [reverse_one]}
    assert author["bio"]["get"] == {"type": "attrs", "attrs": [reverse_one, "bio"]}
    assert author["books"]["get"]["attrs"][0]["cache_name"] == "books"

    gadget = entries(build_schema(cases.GadgetSerializer())[0])
    assert gadget["owner_name"]["get"]["attrs"][0] == {
        "kind": "forward", "cache_name": "owner", "null": True, "name": "owner", "model": Gadget}


def test_repr_and_val_payloads(schema_only):
    serializer = cases.AllFields()
    read_fields, write_fields = build_schema(serializer)
    read, write = entries(read_fields), entries(write_fields)
    fields = serializer.fields

    assert read["amount"]["repr"] == {"type": "decimal", "decimal_places": 2, "max_digits": 6,
                                      "coerce_to_string": True}
    assert read["amount_raw"]["repr"]["coerce_to_string"] is False
    assert read["choice"]["repr"]["map"] is fields["choice"].choice_strings_to_values
    assert read["moment"]["repr"] == {"type": "datetime", "use_tz": True}
    assert read["moment_paris"]["repr"] == {"type": "datetime", "timezone": ZoneInfo("Europe/Paris")}
    assert read["numbers"]["repr"]["child_field"] is fields["numbers"].child
    assert read["method"]["repr"]["method"] == serializer.get_method
    assert read["model_field"]["repr"] == {"type": "model_attr", "attname": "pages"}
    nested = read["inners"]["repr"]
    assert nested["many"] is True and nested["serializer"].write_fields == []
    assert [e["name"] for e in nested["serializer"].read_fields] == ["a", "b"]

    assert write["char"]["val"] == {"type": "char", "allow_blank": False, "trim_whitespace": True,
                                    "email": False, "max_length": 5, "min_length": 1}
    assert write["email"]["val"]["email"] is True
    assert write["integer"]["val"] == {"type": "int", "max_value": 10, "min_value": 0}
    assert write["number"]["val"] == {"type": "float", "max_value": 2.5, "min_value": -1}
    assert write["amount"]["val"] == {"type": "decimal", "max_digits": 6, "decimal_places": 2}
    assert write["choice_blank"]["val"] == {
        "type": "choice", "map": fields["choice_blank"].choice_strings_to_values,
        "allow_blank": True}
    assert write["numbers"]["val"] == {
        "type": "list", "child": {"type": "int", "max_value": None, "min_value": 0},
        "child_allow_null": False, "allow_empty": True, "max_length": 3, "min_length": None}
    inners = write["inners"]["val"]
    assert (inners["many"], inners["allow_empty"], inners["max_length"]) == (True, True, 3)
    assert [e["name"] for e in inners["serializer"].write_fields] == ["a", "b"]
    assert write["dotted"]["source_attrs"] == ["a", "b"]
    assert write["inner_whole"]["source_attrs"] == []
    assert write["flag_null"]["allow_null"] is True and write["flag"]["allow_null"] is False
    assert "allow_null" not in write["hidden"]


def test_validate_methods_are_bound_to_the_serializer(schema_only):
    class WithMethod(s.Serializer):
        a = s.IntegerField()
        b = s.IntegerField()

        def validate_a(self, value):
            return value

    serializer = WithMethod()
    write = entries(build_schema(serializer)[1])
    assert write["a"]["validate_method"] == serializer.validate_a
    assert write["b"]["validate_method"] is None


def test_settings_decide_at_compile_time(schema_only):
    with override_settings(USE_TZ=False, REST_FRAMEWORK={
            "COERCE_DECIMAL_TO_STRING": False, "DATE_FORMAT": None,
            "DATETIME_INPUT_FORMATS": ["%Y", "iso-8601"]}):
        read, write = (entries(side) for side in build_schema(cases.AllFields()))
    assert read["moment"]["repr"] == {"type": "datetime", "use_tz": False}
    assert read["amount"]["repr"]["coerce_to_string"] is False
    assert read["day"]["repr"] == {"type": "python"}
    assert write["moment"]["val"] == {"type": "python"}
    # ...and the defaults come back with the settings.
    read = entries(build_schema(cases.AllFields(), write=False)[0])
    assert read["day"]["repr"] == {"type": "date"}


def test_sides_that_the_class_overrides_are_not_compiled(schema_only):
    class Validating(s.Serializer):
        a = s.IntegerField()

        def to_internal_value(self, data):
            return super().to_internal_value(data)

    read_fields, write_fields = build_schema(cases.Shouting())
    assert read_fields is None and len(write_fields) == 1
    read_fields, write_fields = build_schema(Validating())
    assert len(read_fields) == 1 and write_fields is None
    assert [len(side) for side in build_schema(Validating(), write=False)] == [1, 0]
    assert [len(side) for side in build_schema(cases.Shouting(), read=False)] == [0, 1]
    # None means DRF runs that side; nothing is constructed for it.
    assert compile_serializer(cases.Shouting()) is None
    assert compile_serializer(Validating(), read=False) is None
    assert build_schema(s.BaseSerializer()) == (None, None)


def test_a_list_serializer_compiles_its_child(schema_only):
    many = cases.BookSerializer(many=True)
    assert cases.schema_kinds(*build_schema(many)) == cases.expected_kinds("Book")

    class KeepsOrder(s.ListSerializer):
        def to_representation(self, data):
            return super().to_representation(data)

    class Listed(cases.Inner):
        class Meta:
            list_serializer_class = KeepsOrder

    read_fields, write_fields = build_schema(Listed(many=True))
    assert read_fields is None and [e["name"] for e in write_fields] == ["a", "b"]


def test_field_subclasses_keep_native_kinds_for_what_they_do_not_override(schema_only):
    class Tweaked(s.DateTimeField):
        def enforce_timezone(self, value):
            return value

    class Quieter(s.DecimalField):
        MAX_STRING_LENGTH = 50

    class Loose(s.IntegerField):
        def run_validators(self, value):
            pass

    class Probe(s.Serializer):
        tweaked = Tweaked()
        quieter = Quieter(max_digits=5, decimal_places=2)
        loose = Loose(max_value=3)

    read, write = (entries(side) for side in build_schema(Probe()))
    assert (read["tweaked"]["repr"]["type"], write["tweaked"]["val"]["type"]) == ("python", "python")
    assert (read["quieter"]["repr"]["type"], write["quieter"]["val"]["type"]) == ("decimal", "python")
    # Overriding run_validators only means Python must run it.
    assert write["loose"]["val"]["type"] == "int" and write["loose"]["python_validators"] is True


def test_validators_the_native_kind_already_implies(schema_only):
    from django.core import validators as v

    class Probe(s.Serializer):
        short = s.CharField(max_length=5, validators=[v.MaxLengthValidator(9)])
        tight = s.CharField(max_length=5, validators=[v.MaxLengthValidator(4)])
        callable_limit = s.CharField(max_length=5, validators=[v.MaxLengthValidator(lambda: 9)])
        mail = s.CharField(validators=[v.validate_email])
        bounded = s.IntegerField(max_value=5, validators=[v.MaxValueValidator(5.5)])
        decimal_limit = s.IntegerField(max_value=5, validators=[v.MaxValueValidator(Decimal(9))])

    write = entries(build_schema(Probe())[1])
    flags = {name: (entry["val"].get("email"), entry["python_validators"])
             for name, entry in write.items()}
    assert flags == {
        "short": (False, False), "tight": (False, True), "callable_limit": (False, True),
        "mail": (True, False), "bounded": (None, False), "decimal_limit": (None, True),
    }


def test_explain_prints_a_table_per_serializer(schema_only):
    blocks = quorvel_core.explain(cases.BookSerializer()).split("\n\n")
    title, plans_line, model_line, *lines = blocks[0].splitlines()
    assert title == "BookSerializer"
    assert plans_line == "  plans: compiled once for BookSerializer, shared by all its instances"
    assert model_line == "  instances: Book rows are built natively"
    assert lines[0].split() == ["field", "get", "repr", "val", "validators"]
    rows = {line.split()[0]: line.split()[1:] for line in lines[1:]}
    assert rows["publisher"] == ["pk_attname", "pk", "python", "-"]
    assert rows["publisher_name"] == ["attrs", "str", "-", "-"]
    assert rows["uid"] == ["attrs", "uuid", "uuid", "python"]
    assert rows["title"] == ["attrs", "str", "char", "native"]
    column = lines[0].index("get")
    assert all(line[column] != " " and line[column - 1] == " " for line in lines[1:])
    assert [block.splitlines()[0] for block in blocks[1:]] == [
        "BookSerializer.publisher_detail: PublisherSerializer",
        "BookSerializer.reviews: ReviewSerializer (many)",
        "BookSerializer.tag_items: TagSerializer (many)"]
    assert "read side runs in DRF" in quorvel_core.explain(cases.Shouting())


# --- The hooks against DRF's own field loop ---------------------------------------

def hook_loop(cls, data, kwargs, step):
    """The native loop's handling of outcome tuples, with `step` deciding each field."""
    serializer = cls(**kwargs)
    validated, errors = {}, {}
    try:
        for field in serializer._writable_fields:
            method = getattr(serializer, "validate_" + field.field_name, None)
            status, value = step(field, data, method)
            if status == STATUS_OK:
                serializer.set_value(validated, field.source_attrs, value)
            elif status == STATUS_ERROR:
                errors[field.field_name] = value
            else:
                assert (status, value) == (STATUS_SKIP, None)
    except Exception as exc:
        return "raised", type(exc), str(exc)
    return ("errors", cases.norm(errors)) if errors else ("ok", cases.norm(validated))


def internal_value(field, value):
    """What a native kind may produce: DRF's own internal value, and whether the
    validators still run (not for a blank string, which DRF returns early)."""
    try:
        is_empty, _ = field.validate_empty_values(value)
    except (s.ValidationError, SkipField):
        return None
    if is_empty or isinstance(field, (RelatedField, ManyRelatedField, s.HiddenField)):
        return None
    if isinstance(field, s.CharField) and (
            value == "" or (field.trim_whitespace and str(value).strip() == "")):
        return ("", False) if field.allow_blank else None
    try:
        return field.to_internal_value(value), True
    except (s.ValidationError, DjangoValidationError):
        return None


def native_step(field, data, method):
    """The native loop's paths: present values through a native conversion and
    finish_field, everything else through run_field."""
    name = field.field_name
    if name in data and not isinstance(field, s.HiddenField):
        value = data[name]
        if value is None:
            if field.allow_null and field.source_attrs:
                return finish_field(field, None, method, False)
        else:
            produced = internal_value(field, value)
            if produced is not None:
                return finish_field(field, produced[0], method, produced[1])
    return run_field(field, data, method)


@pytest.mark.parametrize("case", cases.FIELD_CASES, ids=[c[0] for c in cases.FIELD_CASES])
def test_hooks_give_drfs_loop_outcome(db, case):
    _, factory, attrs, kwargs = case
    publisher = Publisher.objects.create(name="p")
    Tag.objects.create(label="slug-1")
    cls = type("Probe", (s.Serializer,), {"x": factory(), "y": s.IntegerField(required=False),
                                          **attrs})
    inputs = cases.INPUTS + [publisher.pk, str(publisher.pk), [publisher.pk], [publisher.pk, 0]]
    for value in inputs:
        data = {"y": 1} if value is cases.MISSING else {"x": value, "y": 1}
        expected = cases.drf_loop(cls, data, kwargs)
        assert hook_loop(cls, data, kwargs, run_field) == expected, value
        assert hook_loop(cls, data, kwargs, native_step) == expected, value


# --- Callable attributes --------------------------------------------------------

class Callee:
    def __call__(self):
        return "called"


class Holder:
    plain = 5
    callable_object = Callee()
    a_class = dict
    builtin = staticmethod(len)
    no_arguments = staticmethod(lambda: "lambda")
    partial_ready = functools.partial(lambda a: a, 1)
    partial_needing = functools.partial(lambda a, b: a, 1)

    def method(self):
        return "method"

    def defaults(self, a=1, *args, **kwargs):
        return a

    def needs_argument(self, a):
        return a

    @classmethod
    def class_method(cls):
        return cls.__name__

    def raises_attribute_error(self):
        raise AttributeError("inner attribute")

    def raises_key_error(self):
        raise KeyError("inner key")

    def raises_value_error(self):
        raise ValueError("inner value")

    def raises_does_not_exist(self):
        raise ObjectDoesNotExist("gone")

    @property
    def bound_builtin(self):
        return [].append


def outcome(call):
    try:
        return "value", call()
    except Exception as exc:
        return "raised", type(exc), str(exc)


@pytest.mark.parametrize("name", [n for n in vars(Holder) if not n.startswith("_")]
                         + ["mapping_method", "mapping_value"])
def test_resolve_callable_is_drfs_get_attribute(name):
    holder = Holder()
    source = {"mapping_method": holder.method, "mapping_value": 3} if name.startswith("mapping") \
        else holder

    def ours():
        value = source[name] if isinstance(source, Mapping) else getattr(source, name)
        return resolve_callable(value, name) if callable(value) else value

    assert outcome(ours) == outcome(lambda: get_attribute(source, [name]))


# --- Value-access plans over Django's caches ---------------------------------------

UNDECIDED = object()
SKIP = object()


def emulate_get(entry, instance):
    """The native value access for a read entry, step by step as the module
    runs it (the native forms, then the field's get_attribute)."""
    plan, field = entry.get("get"), entry["field"]
    kind = plan["type"] if plan else "python"
    if kind == "star":
        return instance
    if kind == "pk_attname":
        found = instance.__dict__ if plan["from_dict"] else {}
        if plan["attname"] in found:
            return found[plan["attname"]]
        try:
            return getattr(instance, plan["attname"])
        except Exception:
            return python_get(field, instance)
    if kind in ("attrs", "many"):
        value = native_chain(instance, plan["attrs"])
        if value is not UNDECIDED and (kind == "attrs" or type(value) is list):
            return value
    return python_get(field, instance)


def python_get(field, instance):
    try:
        return field.get_attribute(instance)
    except SkipField:
        return SKIP


def native_chain(current, steps):
    for step in steps:
        if isinstance(step, dict):
            name = step["name"]
            if type(current) is step["model"]:
                cached = cached_relation(step, current)
                if cached is not UNDECIDED:
                    current = cached
                    continue
        else:
            name = step
        try:
            current = current[name] if isinstance(current, Mapping) else getattr(current, name)
        except ObjectDoesNotExist:
            return None
        except Exception:
            return UNDECIDED
        if callable(current):
            try:
                current = resolve_callable(current, name)
            except Exception:
                return UNDECIDED
    return current


def cached_relation(step, current):
    kind = step["kind"]
    if kind in ("forward", "reverse_one"):
        cache = current._state.fields_cache
        if step["cache_name"] in cache:
            value = cache[step["cache_name"]]
            if value is not None or (kind == "forward" and step["null"]):
                return value
        return UNDECIDED
    if any(getattr(current, name, None) is None for name in step["required"]):
        return UNDECIDED
    queryset = getattr(current, "_prefetched_objects_cache", {}).get(step["cache_name"])
    if queryset is None or type(queryset._result_cache) is not list:
        return UNDECIDED
    if queryset._prefetch_related_lookups and not queryset._prefetch_done:
        return UNDECIDED
    return queryset._result_cache


def observed(value, repr_plan, field):
    """What the representation sees: the items where it iterates (the nested
    lists and the many-related fields, whose DRF code iterates too), the key
    of a primary-key placeholder (of which the native plan reads the key only),
    and the value itself everywhere else."""
    if repr_plan["type"] == "pk" or isinstance(value, PKOnlyObject):
        return "pk", getattr(value, "pk", value)
    iterates = repr_plan.get("many") or isinstance(field, ManyRelatedField)
    if iterates and isinstance(value, BaseManager):
        value = value.all()
    if iterates and isinstance(value, (QuerySet, list)):
        return "items", [observed(item, {"type": "python"}, None) for item in value]
    if isinstance(value, BaseManager):
        return "manager", value.model, value.instance
    return type(value).__name__, value


def compare_access(serializer, instance):
    for entry in build_schema(serializer, write=False)[0]:
        field, plan = entry["field"], entry["repr"]
        expected = outcome(lambda: observed(python_get(field, instance), plan, field))
        got = outcome(lambda: observed(emulate_get(entry, instance), plan, field))
        assert got == expected, entry["name"]


class BookManagers(cases.BookSerializer):
    """Fields that hand the related manager itself to the representation."""

    review_manager = s.ReadOnlyField(source="reviews")
    tag_manager = s.ReadOnlyField(source="tags")
    publisher_column = s.ReadOnlyField(source="publisher_id")
    publisher_id_key = s.PrimaryKeyRelatedField(source="publisher_id", read_only=True)


def book_states():
    related = Book.objects.select_related("publisher").prefetch_related(
        "authors", "tags", "reviews")
    yield from Book.objects.all()
    yield from related
    yield from Book.objects.prefetch_related(Prefetch("reviews", Review.objects.all()))
    yield Book(title="unsaved")
    yield Book(title="unsaved", publisher=Publisher.objects.first())


def author_states():
    yield from Author.objects.all()
    yield from Author.objects.select_related("profile").prefetch_related("books", "gadget_set")


@pytest.mark.usefixtures("library", "schema_only")
@pytest.mark.parametrize("serializer, states", [
    (BookManagers, book_states),
    (cases.AuthorSerializer, author_states),
    (cases.GadgetSerializer, lambda: Gadget.objects.select_related("owner")),
    (cases.GadgetSerializer, lambda: Gadget.objects.all()),
    (cases.ReviewDepthSerializer, lambda: Review.objects.select_related("book")),
])
def test_value_access_plans_give_drfs_values(serializer, states):
    for instance in states():
        compare_access(serializer(), instance)


@pytest.mark.usefixtures("library", "schema_only")
def test_value_access_over_plain_objects_and_mappings():
    class Plain(s.Serializer):
        name = s.CharField()
        upper = s.CharField(source="name.upper")
        missing = s.CharField(required=False)
        defaulted = s.CharField(default="d")
        nullable = s.CharField(allow_null=True)
        whole = s.ReadOnlyField(source="*")

    class Thing:
        name = "thing"

    for instance in [Thing(), {"name": "dict"}, {"name": lambda: "callable"}]:
        compare_access(Plain(), instance)


# --- Configuration on import ------------------------------------------------------

def test_import_configures_once_and_is_harmless_again():
    out = run_isolated("""
import importlib, json, sys, threading
errors = []
barrier = threading.Barrier(6)
def worker():
    barrier.wait()
    try:
        import quorvel_core
    except BaseException as exc:
        errors.append(repr(exc))
threads = [threading.Thread(target=worker) for _ in range(6)]
for t in threads: t.start()
for t in threads: t.join()
import quorvel_core
native = quorvel_core._quorvel_core
configured = native.is_configured()
for name in [n for n in sys.modules if n.startswith("quorvel_core")]:
    del sys.modules[name]
again = importlib.import_module("quorvel_core")
print(json.dumps([errors, configured, again.configure_native(),
                  again._quorvel_core is native, again._quorvel_core.is_configured()]))
""")
    assert json.loads(out) == [[], True, False, False, True]
