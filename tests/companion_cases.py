"""Serializers over the test app with the plan each field is expected to get.

`EXPECTED` is the deliberate mapping: a change in what the compiler chooses
must show up here. Rows are (serializer, field, get, repr, val, python
validators); get and repr are None for write-only fields, val and validators
None for read-only ones. The kind texts are the ones `describe()` reports.
"""

import datetime
import os
from decimal import Decimal
from zoneinfo import ZoneInfo

from django.core.exceptions import ValidationError as DjangoValidationError
from django.core.validators import MaxLengthValidator, RegexValidator
from rest_framework import serializers as s
from rest_framework.fields import SkipField

from tests.helpers import DRF_VERSION
from tests.project.shop.models import Author, Book, Gadget, Profile, Publisher, Review, Tag


class Inner(s.Serializer):
    a = s.IntegerField()
    b = s.CharField(required=False)


class Upper(s.CharField):
    def to_representation(self, value):
        return str(value).upper()


class Lenient(s.IntegerField):
    def to_internal_value(self, data):
        return super().to_internal_value(str(data).strip())


class PlainSubclass(s.CharField):
    """Overrides nothing the native kinds stand in for."""

    def fail(self, key, **kwargs):
        super().fail(key, **kwargs)


class YesOnly(s.BooleanField):
    TRUE_VALUES = {"yes"}


class CheckedInner(Inner):
    def validate(self, attrs):
        return attrs


class GuardedInner(Inner):
    class Meta:
        validators = [lambda attrs: None]


class Shouting(s.Serializer):
    name = s.CharField()

    def to_representation(self, instance):
        return {"name": str(instance.name).upper()}


class UnformattedSpan(s.DurationField):
    """No output format: DRF 3.17 on returns the timedelta; 3.16, which has no
    formats, still writes Django's text."""

    format = None


class AllFields(s.Serializer):
    """Every field class DRF ships, on a plain serializer (no model)."""

    char = s.CharField(max_length=5, min_length=1)
    char_blank = s.CharField(allow_blank=True, trim_whitespace=False, required=False)
    email = s.EmailField()
    regex = s.RegexField(r"^a+$")
    slug = s.SlugField()
    url = s.URLField()
    ip = s.IPAddressField()
    uuid = s.UUIDField()
    uuid_hex = s.UUIDField(format="hex")
    integer = s.IntegerField(min_value=0, max_value=10)
    integer_float_bound = s.IntegerField(max_value=10.5)
    if DRF_VERSION >= (3, 17):
        big = s.BigIntegerField()
        big_text = s.BigIntegerField(coerce_to_string=True)
    number = s.FloatField(max_value=2.5, min_value=-1)
    number_decimal_bound = s.FloatField(max_value=Decimal("0.1"))
    number_huge_bound = s.FloatField(min_value=2**53 + 1)
    amount = s.DecimalField(max_digits=6, decimal_places=2)
    amount_raw = s.DecimalField(max_digits=None, decimal_places=None, coerce_to_string=False)
    amount_places_only = s.DecimalField(max_digits=None, decimal_places=2)
    amount_localized = s.DecimalField(max_digits=6, decimal_places=2, localize=True)
    amount_normalized = s.DecimalField(max_digits=6, decimal_places=2, normalize_output=True)
    amount_bounded = s.DecimalField(max_digits=6, decimal_places=2, max_value=Decimal(100))
    flag = s.BooleanField()
    flag_null = s.BooleanField(allow_null=True)
    day = s.DateField()
    day_formatted = s.DateField(format="%d/%m/%Y", input_formats=["%d/%m/%Y", "iso-8601"])
    moment = s.DateTimeField()
    moment_paris = s.DateTimeField(default_timezone=ZoneInfo("Europe/Paris"))
    moment_raw = s.DateTimeField(format=None)
    clock = s.TimeField()
    span = s.DurationField()
    if DRF_VERSION >= (3, 17):
        span_raw = s.DurationField(format=None)
    span_unformatted = UnformattedSpan()
    choice = s.ChoiceField(choices=[(1, "one"), (2, "two")])
    choice_blank = s.ChoiceField(choices=["x", "y"], allow_blank=True)
    multi = s.MultipleChoiceField(choices=["a", "b"])
    path = s.FilePathField(path=os.path.dirname(__file__))
    upload = s.FileField()
    picture = s.ImageField()
    numbers = s.ListField(child=s.IntegerField(min_value=0), max_length=3)
    grid = s.ListField(child=s.ListField(child=s.CharField()))
    anything = s.ListField()
    patterned = s.ListField(child=s.CharField(validators=[RegexValidator("a")]))
    mapping = s.DictField(child=s.IntegerField())
    store = s.HStoreField()
    blob = s.JSONField()
    blob_binary = s.JSONField(binary=True)
    hidden = s.HiddenField(default=1)
    read_only = s.ReadOnlyField()
    method = s.SerializerMethodField()
    model_field = s.ModelField(model_field=Book._meta.get_field("pages"))
    inner = Inner()
    inners = Inner(many=True, max_length=3)
    inner_whole = Inner(source="*")
    checked = CheckedInner()
    guarded = GuardedInner(many=True)
    shouting = Shouting(read_only=True)
    dotted = s.CharField(source="a.b")
    upper = Upper()
    lenient = Lenient()
    plain_subclass = PlainSubclass()
    yes_only = YesOnly()
    extra_validator = s.CharField(validators=[MaxLengthValidator(3)])
    write_only = s.CharField(write_only=True)
    base = s.Field()
    inner_list = s.ListField(child=Inner())
    link = s.HyperlinkedIdentityField(view_name="thing-detail")
    slug_related = s.SlugRelatedField(slug_field="label", read_only=True)
    string_related = s.StringRelatedField()
    pk_related = s.PrimaryKeyRelatedField(read_only=True)

    def get_method(self, obj):
        return obj


class PublisherSerializer(s.ModelSerializer):
    class Meta:
        model = Publisher
        fields = "__all__"


class ReviewSerializer(s.ModelSerializer):
    class Meta:
        model = Review
        fields = ["id", "body", "stars"]


class TagSerializer(s.ModelSerializer):
    class Meta:
        model = Tag
        fields = "__all__"


class BookSerializer(s.ModelSerializer):
    publisher_name = s.CharField(source="publisher.name", read_only=True)
    publisher_detail = PublisherSerializer(source="publisher", read_only=True)
    reviews = ReviewSerializer(many=True, required=False)
    review_ids = s.PrimaryKeyRelatedField(source="reviews", many=True, read_only=True)
    author_names = s.StringRelatedField(source="authors", many=True)
    tag_items = TagSerializer(source="tags", many=True, read_only=True)
    tag_labels = s.SlugRelatedField(source="tags", slug_field="label", many=True, read_only=True)
    first_review = s.CharField(source="reviews.first", read_only=True)
    publisher_link = s.HyperlinkedRelatedField(
        source="publisher", view_name="publisher-detail", read_only=True)
    publisher_slug = s.SlugRelatedField(source="publisher", slug_field="name", read_only=True)
    publisher_text = s.StringRelatedField(source="publisher")
    publisher_key = s.PrimaryKeyRelatedField(
        source="publisher", read_only=True, pk_field=s.CharField())

    class Meta:
        model = Book
        fields = "__all__"


class ProfileSerializer(s.ModelSerializer):
    class Meta:
        model = Profile
        fields = ["bio"]


class AuthorSerializer(s.ModelSerializer):
    profile = ProfileSerializer(read_only=True)
    bio = s.CharField(source="profile.bio", read_only=True)
    books = s.PrimaryKeyRelatedField(many=True, read_only=True)
    gadgets = s.PrimaryKeyRelatedField(source="gadget_set", many=True, read_only=True)

    class Meta:
        model = Author
        fields = "__all__"


class GadgetSerializer(s.ModelSerializer):
    owner_name = s.ReadOnlyField(source="owner.name")

    class Meta:
        model = Gadget
        fields = "__all__"


class ReviewDepthSerializer(s.ModelSerializer):
    class Meta:
        model = Review
        fields = "__all__"
        depth = 1


def serializers():
    """Fresh instances, keyed by the name used in EXPECTED."""
    return {
        "AllFields": AllFields(),
        "Book": BookSerializer(),
        "Author": AuthorSerializer(),
        "Gadget": GadgetSerializer(),
        "ReviewDepth": ReviewDepthSerializer(),
    }


P = "python"

EXPECTED = [
    # serializer, field, get, repr, val, python validators
    ("AllFields", "char", "attrs", "str", "char", False),
    ("AllFields", "char_blank", "attrs", "str", "char", False),
    ("AllFields", "email", "attrs", "str", "char", False),
    ("AllFields", "regex", "attrs", "str", "char", True),
    ("AllFields", "slug", "attrs", "str", "char", True),
    ("AllFields", "url", "attrs", "str", "char", True),
    ("AllFields", "ip", "attrs", "str", P, False),
    ("AllFields", "uuid", "attrs", "uuid", "uuid", False),
    ("AllFields", "uuid_hex", "attrs", P, "uuid", False),
    ("AllFields", "integer", "attrs", "int", "int", False),
    ("AllFields", "integer_float_bound", "attrs", "int", "int", True),
    *([("AllFields", "big", "attrs", "int", "int", False),
       ("AllFields", "big_text", "attrs", P, "int", False)] if DRF_VERSION >= (3, 17) else []),
    ("AllFields", "number", "attrs", "float", "float", False),
    ("AllFields", "number_decimal_bound", "attrs", "float", P, False),
    ("AllFields", "number_huge_bound", "attrs", "float", P, False),
    ("AllFields", "amount", "attrs", "decimal", "decimal", False),
    ("AllFields", "amount_raw", "attrs", "decimal", "decimal", False),
    ("AllFields", "amount_places_only", "attrs", P, P, False),
    ("AllFields", "amount_localized", "attrs", P, P, False),
    ("AllFields", "amount_normalized", "attrs", P, "decimal", False),
    ("AllFields", "amount_bounded", "attrs", "decimal", "decimal", True),
    ("AllFields", "flag", "attrs", "bool", "bool", False),
    ("AllFields", "flag_null", "attrs", "bool", "bool", False),
    ("AllFields", "day", "attrs", "date", "date", False),
    ("AllFields", "day_formatted", "attrs", P, P, False),
    ("AllFields", "moment", "attrs", "datetime", "datetime", False),
    ("AllFields", "moment_paris", "attrs", "datetime", "datetime", False),
    ("AllFields", "moment_raw", "attrs", P, "datetime", False),
    ("AllFields", "clock", "attrs", "time", P, False),
    ("AllFields", "span", "attrs", P, P, False),
    *([("AllFields", "span_raw", "attrs", "passthrough", P, False)]
      if DRF_VERSION >= (3, 17) else []),
    ("AllFields", "span_unformatted", "attrs", "passthrough" if DRF_VERSION >= (3, 17) else P, P,
     False),
    ("AllFields", "choice", "attrs", "choice", "choice", False),
    ("AllFields", "choice_blank", "attrs", "choice", "choice", False),
    ("AllFields", "multi", "attrs", P, P, False),
    ("AllFields", "path", "attrs", "choice", "choice", False),
    ("AllFields", "upload", "attrs", P, P, False),
    ("AllFields", "picture", "attrs", P, P, False),
    ("AllFields", "numbers", "attrs", "list[int]", "list[int]", False),
    ("AllFields", "grid", "attrs", "list[list[str]]", "list[list[char]]", False),
    ("AllFields", "anything", "attrs", "list[passthrough]", P, False),
    ("AllFields", "patterned", "attrs", "list[str]", P, False),
    ("AllFields", "mapping", "attrs", "dict[int]", P, False),
    ("AllFields", "store", "attrs", "dict[str]", P, False),
    ("AllFields", "blob", "attrs", "passthrough", P, False),
    ("AllFields", "blob_binary", "attrs", P, P, False),
    ("AllFields", "hidden", None, None, P, False),
    ("AllFields", "read_only", "attrs", "passthrough", None, None),
    ("AllFields", "method", "star", "method", None, None),
    ("AllFields", "model_field", "star", "model_attr", P, False),
    ("AllFields", "inner", "attrs", "nested", "nested", False),
    ("AllFields", "inners", "attrs", "nested_many", "nested_many", False),
    ("AllFields", "inner_whole", "star", "nested", "nested", False),
    ("AllFields", "checked", "attrs", "nested", P, False),
    ("AllFields", "guarded", "attrs", "nested_many", P, False),
    ("AllFields", "shouting", "attrs", P, None, None),
    ("AllFields", "dotted", P, "str", "char", False),
    ("AllFields", "upper", "attrs", P, "char", False),
    ("AllFields", "lenient", "attrs", "int", P, False),
    ("AllFields", "plain_subclass", "attrs", "str", "char", False),
    ("AllFields", "yes_only", "attrs", P, P, False),
    ("AllFields", "extra_validator", "attrs", "str", "char", True),
    ("AllFields", "write_only", None, None, "char", False),
    ("AllFields", "base", "attrs", P, P, False),
    ("AllFields", "inner_list", "attrs", "list[nested]", "list[nested]", False),
    ("AllFields", "link", "star", P, None, None),
    ("AllFields", "slug_related", "attrs", P, None, None),
    ("AllFields", "string_related", "attrs", "str", None, None),
    ("AllFields", "pk_related", P, P, None, None),

    ("Book", "id", "attrs", "int", None, None),
    ("Book", "publisher_name", "attrs", "str", None, None),
    ("Book", "publisher_detail", "attrs", "nested", None, None),
    ("Book", "reviews", "attrs", "nested_many", "nested_many", False),
    ("Book", "review_ids", "many", "pk_many", None, None),
    ("Book", "author_names", "many", P, P, False),
    ("Book", "tag_items", "attrs", "nested_many", None, None),
    ("Book", "tag_labels", "many", P, None, None),
    ("Book", "first_review", P, "str", None, None),
    ("Book", "publisher_link", P, P, None, None),
    ("Book", "publisher_slug", "attrs", P, None, None),
    ("Book", "publisher_text", "attrs", "str", None, None),
    ("Book", "publisher_key", P, P, None, None),
    ("Book", "uid", "attrs", "uuid", "uuid", True),
    ("Book", "title", "attrs", "str", "char", False),
    ("Book", "pages", "attrs", "int", "int", False),
    ("Book", "price", "attrs", "decimal", "decimal", False),
    ("Book", "rating", "attrs", "float", "float", False),
    ("Book", "in_print", "attrs", "bool", "bool", False),
    ("Book", "format", "attrs", "choice", "choice", False),
    ("Book", "published", "attrs", "date", "date", False),
    ("Book", "updated", "attrs", "datetime", "datetime", False),
    ("Book", "extra", "attrs", "passthrough", P, False),
    ("Book", "publisher", "pk_attname", "pk", P, False),
    ("Book", "authors", "many", "pk_many", P, False),
    ("Book", "tags", "many", "pk_many", P, False),

    ("Author", "id", "attrs", "int", None, None),
    ("Author", "profile", "attrs", "nested", None, None),
    ("Author", "bio", "attrs", "str", None, None),
    ("Author", "books", "many", "pk_many", None, None),
    ("Author", "gadgets", P, "pk_many", None, None),
    ("Author", "name", "attrs", "str", "char", False),
    ("Author", "email", "attrs", "str", "char", False),
    ("Author", "birth_date", "attrs", "date", "date", False),

    ("Gadget", "id", "attrs", "int", None, None),
    ("Gadget", "owner_name", "attrs", "passthrough", None, None),
    ("Gadget", "serial", "attrs", "int", "int", True),
    ("Gadget", "count", "attrs", "int", "int", False),
    ("Gadget", "weight", "attrs", "float", "float", False),
    ("Gadget", "alarm", "attrs", "time", P, False),
    ("Gadget", "warranty", "attrs", P, P, False),
    ("Gadget", "address", "attrs", "str", P, False),
    ("Gadget", "manual", "attrs", P, P, False),
    ("Gadget", "notes", "attrs", "str", "char", False),
    ("Gadget", "owner", "pk_attname", "pk", P, False),

    ("ReviewDepth", "id", "attrs", "int", None, None),
    ("ReviewDepth", "book", "attrs", "nested", None, None),
    ("ReviewDepth", "body", "attrs", "str", "char", False),
    ("ReviewDepth", "stars", "attrs", "int", "int", False),
]


def expected_kinds(name):
    """EXPECTED for one serializer, shaped like `describe()`."""
    read, write = {}, {}
    for serializer, field, get, repr_, val, python_validators in EXPECTED:
        if serializer != name:
            continue
        if get is not None:
            read[field] = (get, repr_)
        if val is not None:
            write[field] = (val, python_validators)
    return {"read": read, "write": write}


def schema_kinds(read_fields, write_fields):
    """What `describe()` reports for a schema, computed from the schema."""
    return {
        "read": {e["name"]: ((e.get("get") or {"type": "python"})["type"], _repr_kind(e["repr"]))
                 for e in read_fields},
        "write": {e["name"]: (_val_kind(e["val"]), bool(e.get("python_validators", False)))
                  for e in write_fields},
    }


def _repr_kind(plan):
    kind = plan["type"]
    if kind in ("list", "dict"):
        return f"{kind}[{_repr_kind(plan['child'])}]"
    if kind == "nested" and plan.get("many"):
        return "nested_many"
    return kind


def _val_kind(plan):
    kind = plan["type"]
    if kind == "list":
        return f"list[{_val_kind(plan['child'])}]"
    if kind == "nested" and plan.get("many"):
        return "nested_many"
    return kind


SAMPLE_MOMENT = datetime.datetime(2024, 3, 7, 9, 5, tzinfo=datetime.UTC)


# --- Field cases for the write loop, against DRF's own -------------------------------

class Nested:
    """Stands in for the native constructor, so that nested schemas can be read."""

    def __init__(self, read_fields, write_fields):
        self.read_fields, self.write_fields = read_fields, write_fields

    def describe(self):
        return schema_kinds(self.read_fields, self.write_fields)


MISSING = object()

INPUTS = [
    MISSING, None, "", "   ", " ab ", "ab", "abc", "abcdef", "a\x00b", "\ud800", "b",
    "12", " 12 ", "12.000", "12.5", "1e3", "-0", "1.50", "123456.789", 0, 1, 12, -3, 2**70,
    12.0, 12.5, float("nan"), float("inf"), True, False, "yes", "null", "On",
    [], [1, "2"], [1, None], ["a", "b", "c"], {}, {"a": 1}, {"a": "x", "b": "y"}, {"a": None},
    "2024-01-05", "2024-02-30", "2024-01-05T10:00:00+02:00", "2024-01-05T10:00:00", "12:30",
    "1 02:00:00", "3fa85f64-5717-4562-b3fc-2c963f66afa6", "a@example.com", "a@b", "x",
    "127.0.0.1", "::ffff:1.2.3.4", "http://example.org/", "slug-1", "dict", "x" * 1001,
    "7." + "0" * 999,
]


def reject_odd(value):
    if type(value) is int and value % 2:
        raise DjangoValidationError("%(n)s is odd", code="odd", params={"n": value})


def reject_b(value):
    if "b" in str(value):
        raise s.ValidationError("has b", code="has_b")


def several_errors(value):
    if value == "abc":
        raise DjangoValidationError(["first", DjangoValidationError("second", code="two")])


def dict_detail(value):
    if value == "dict":
        raise s.ValidationError({"deep": ["detail"]})


class NotItsName:
    requires_context = True

    def __call__(self, value, field):
        if value == field.field_name:
            raise s.ValidationError("not the name", code="named")


def validate_transform(self, value):
    return ["seen", value]


def validate_reject(self, value):
    if value in ("ab", 12, True):
        raise s.ValidationError("rejected", code="rejected")
    return value


def validate_django(self, value):
    if value == "ab":
        raise DjangoValidationError({"inner": ["django dict"]})
    if value == 12:
        raise DjangoValidationError("django %(v)s", code="dj", params={"v": value})
    return value


def validate_skip(self, value):
    if value == 12 or value == "ab":
        raise SkipField()
    return value


def validate_crash(self, value):
    if value == "abc":
        raise KeyError("boom")
    return value


def publisher_queryset():
    return Publisher.objects.all()


# (id, field factory, serializer class attributes, serializer keyword arguments)
FIELD_CASES = [
    ("char", lambda: s.CharField(max_length=4, min_length=2), {}, {}),
    ("char_blank", lambda: s.CharField(allow_blank=True, trim_whitespace=False), {}, {}),
    ("char_optional", lambda: s.CharField(required=False), {}, {}),
    ("char_default", lambda: s.CharField(default="d"), {}, {}),
    ("char_null", lambda: s.CharField(allow_null=True, allow_blank=True), {}, {}),
    ("char_dotted", lambda: s.CharField(source="a.b"), {}, {}),
    ("char_validated", lambda: s.CharField(validators=[reject_b, several_errors, dict_detail,
                                                       NotItsName()]), {}, {}),
    ("char_transform", lambda: s.CharField(), {"validate_x": validate_transform}, {}),
    ("char_reject", lambda: s.CharField(), {"validate_x": validate_reject}, {}),
    ("char_django", lambda: s.CharField(), {"validate_x": validate_django}, {}),
    ("char_skip", lambda: s.CharField(), {"validate_x": validate_skip}, {}),
    ("char_crash", lambda: s.CharField(), {"validate_x": validate_crash}, {}),
    ("char_partial", lambda: s.CharField(), {}, {"partial": True}),
    ("write_only", lambda: s.CharField(write_only=True), {}, {}),
    ("read_only_default", lambda: s.CharField(read_only=True, default="r"), {}, {}),
    ("email", lambda: s.EmailField(), {}, {}),
    ("slug", lambda: s.SlugField(), {}, {}),
    ("url", lambda: s.URLField(), {}, {}),
    ("regex", lambda: s.RegexField(r"^a+b?$"), {}, {}),
    ("ip", lambda: s.IPAddressField(), {}, {}),
    ("integer", lambda: s.IntegerField(max_value=12, min_value=-5), {}, {}),
    ("integer_odd", lambda: s.IntegerField(validators=[reject_odd], allow_null=True), {}, {}),
    ("integer_reject", lambda: s.IntegerField(), {"validate_x": validate_reject}, {}),
    ("integer_django", lambda: s.IntegerField(), {"validate_x": validate_django}, {}),
    ("integer_skip", lambda: s.IntegerField(required=False), {"validate_x": validate_skip}, {}),
    ("integer_callable_default", lambda: s.IntegerField(default=lambda: 7), {}, {}),
    *([("big", lambda: s.BigIntegerField(max_value=2**64), {}, {})]
      if DRF_VERSION >= (3, 17) else []),
    ("float", lambda: s.FloatField(min_value=0.5, max_value=12), {}, {}),
    ("float_decimal_bound", lambda: s.FloatField(max_value=Decimal("0.1")), {}, {}),
    ("bool", lambda: s.BooleanField(), {}, {}),
    ("bool_null", lambda: s.BooleanField(allow_null=True), {"validate_x": validate_reject}, {}),
    ("decimal", lambda: s.DecimalField(max_digits=5, decimal_places=2), {}, {}),
    ("decimal_null", lambda: s.DecimalField(max_digits=None, decimal_places=None,
                                            allow_null=True), {}, {}),
    ("decimal_bounded", lambda: s.DecimalField(max_digits=6, decimal_places=1,
                                               min_value=Decimal(1)), {}, {}),
    ("date", lambda: s.DateField(), {}, {}),
    ("date_formats", lambda: s.DateField(input_formats=["%H:%M", "iso-8601"]), {}, {}),
    ("datetime", lambda: s.DateTimeField(), {}, {}),
    ("datetime_paris", lambda: s.DateTimeField(default_timezone=ZoneInfo("Europe/Paris")), {}, {}),
    ("time", lambda: s.TimeField(), {}, {}),
    ("duration", lambda: s.DurationField(), {}, {}),
    ("uuid", lambda: s.UUIDField(), {}, {}),
    ("choice", lambda: s.ChoiceField(choices=[(12, "twelve"), ("ab", "AB"), "x"]), {}, {}),
    ("choice_blank", lambda: s.ChoiceField(choices=["x"], allow_blank=True), {}, {}),
    ("multiple_choice", lambda: s.MultipleChoiceField(choices=[1, "a", "b"]), {}, {}),
    ("list", lambda: s.ListField(child=s.IntegerField(min_value=0), max_length=2), {}, {}),
    ("list_strict", lambda: s.ListField(child=s.CharField(allow_null=True), allow_empty=False),
     {}, {}),
    ("list_any", lambda: s.ListField(), {}, {}),
    ("dict", lambda: s.DictField(child=s.IntegerField()), {}, {}),
    ("hstore", lambda: s.HStoreField(), {}, {}),
    ("json", lambda: s.JSONField(), {}, {}),
    ("file", lambda: s.FileField(required=False), {}, {}),
    ("file_path", lambda: s.FilePathField(path=os.path.dirname(__file__), allow_blank=True),
     {}, {}),
    ("model_field", lambda: s.ModelField(model_field=Book._meta.get_field("pages")), {}, {}),
    ("hidden", lambda: s.HiddenField(default=5), {}, {}),
    ("create_only", lambda: s.IntegerField(default=s.CreateOnlyDefault(3)), {},
     {"instance": object()}),
    ("nested", lambda: Inner(), {}, {}),
    ("nested_optional_null", lambda: Inner(required=False, allow_null=True), {}, {}),
    ("nested_many", lambda: Inner(many=True, min_length=1), {}, {}),
    ("nested_whole", lambda: Inner(source="*"), {}, {}),
    ("nested_whole_null", lambda: Inner(source="*", allow_null=True), {}, {}),
    ("pk_related", lambda: s.PrimaryKeyRelatedField(queryset=publisher_queryset()), {}, {}),
    ("pk_related_many", lambda: s.PrimaryKeyRelatedField(queryset=publisher_queryset(),
                                                         many=True), {}, {}),
    ("slug_related", lambda: s.SlugRelatedField(slug_field="label", queryset=Tag.objects.all(),
                                                allow_null=True), {}, {}),
]


def norm(value):
    """A comparable form that tells apart what == would not: error codes,
    types, Decimal exponents, time zones."""
    if isinstance(value, s.ErrorDetail):
        return ("detail", str(value), value.code)
    if isinstance(value, dict):
        return (type(value).__name__, {k: norm(v) for k, v in value.items()})
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [norm(v) for v in value])
    return (type(value).__name__, repr(value))


def drf_loop(cls, data, kwargs):
    serializer = cls(**kwargs)
    try:
        return "ok", norm(serializer.to_internal_value(data))
    except s.ValidationError as exc:
        return "errors", norm(exc.detail)
    except Exception as exc:
        return "raised", type(exc), str(exc)


def fill_library():
    """A few rows of every model, with relations set and left empty."""
    publisher = Publisher.objects.create(name="pub")
    authors = [Author.objects.create(name=f"a{i}") for i in range(2)]
    Profile.objects.create(author=authors[0], bio="bio")
    tag = Tag.objects.create(label="t")
    book = Book.objects.create(
        title="b1", publisher=publisher, price=Decimal("12.30"), rating=4.5,
        published=datetime.date(2024, 1, 5), extra={"k": [1, 2]},
        updated=datetime.datetime(2024, 1, 5, 10, 0, 30, 5, tzinfo=ZoneInfo("Europe/Paris")))
    book.authors.set(authors)
    book.tags.add(tag)
    Review.objects.create(book=book, body="r", stars=3)
    Book.objects.create(title="b2")
    Gadget.objects.create(serial=1, owner=authors[0], alarm=datetime.time(7, 30),
                          warranty=datetime.timedelta(days=400), address="10.0.0.1",
                          notes="fragile")
    Gadget.objects.create(serial=2)
