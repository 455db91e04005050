"""The benchmark cases: each one a (baseline, candidate) pair built from shared fixtures."""

import json
from functools import cached_property

from . import accel, data, others
from .harness import Case, Mismatch, Unavailable, first_difference
from .serializers import (
    FLAT_FIELDS, ProductModelWriteSerializer, ProductNestedSerializer, ProductNestedWriteSerializer,
    ProductPythonSerializer, ProductSerializer, ProductWriteSerializer,
)

# Minimum median speed-ups. "At most 1.2 times orjson's time" is a speed-up of
# at least 1/1.2 against orjson.
REPR_MANY = 10.0
VALIDATION = 4.0
TO_JSON_VS_RENDERER = 5.0
FROM_JSON_VS_LOADS = 2.0
# JSON against orjson: to_json in DRF's renderer mode at most
# 1.2 times orjson's time (1.5 with ensure_ascii=True), from_json at most its
# time on bytes and 1.2 times on str.
TO_JSON_VS_ORJSON = 1 / 1.2
TO_JSON_ASCII_VS_ORJSON = 1 / 1.5
FROM_JSON_VS_ORJSON = 1.0
FROM_JSON_STR_VS_ORJSON = 1 / 1.2
JSON_DOCUMENTS = ("representation", "strings", "numbers", "flat rows")
DETAIL = 6.0
# Through install(), with a new serializer per call as a view makes it.
ONE_FLAT = 10.0
ONE_NESTED = 6.0
VALIDATE_ONE = 3.0
VALIDATE_ONE_MODEL = 1.5  # its fields are built per instance, and uid's check queries
REPR_MANY_INSTALLED = 12.0
# Rows to model instances (ModelIterable), plain Django against install().
ORM_LIST = 3.0
ORM_SELECT_RELATED = 3.0
ORM_DEMO_ORDERS = 2.5


class Fixtures:
    """Rows and documents, each made on first use."""

    @cached_property
    def products(self):
        from .shop.models import Product

        return list(Product.objects.order_by("id"))

    @cached_property
    def products_with_vendor(self):
        from .shop.models import Product

        return list(Product.objects.select_related("vendor").order_by("id"))

    @cached_property
    def nested_products(self):
        from .shop.models import Product

        return list(Product.objects.select_related("vendor").prefetch_related("reviews")
                    .order_by("id"))

    @cached_property
    def detail_product(self):
        return max(self.nested_products[:50], key=lambda p: len(p.reviews.all()))

    @cached_property
    def documents(self):
        """name -> JSON-shaped document of plain dicts and lists."""
        representation = ProductNestedSerializer(self.nested_products, many=True).data
        return {
            "representation": json.loads(json.dumps(representation)),
            "strings": data.string_document(),
            "numbers": data.number_document(),
            "flat rows": data.flat_row_document(),
        }

    @cached_property
    def encoded(self):
        """name -> the document as compact UTF-8 JSON bytes."""
        return {name: json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode()
                for name, doc in self.documents.items()}


# --- Representation ----------------------------------------------------------------

def _drf_many(serializer_class, objects):
    return lambda: serializer_class(objects, many=True).data


def _repr_many(serializer_class, rows):
    def setup(fx):
        objects = getattr(fx, rows)
        return _drf_many(serializer_class, objects), accel.represent_many(serializer_class, objects)
    return setup


def _serpy_many(index, serializer_class, rows):
    def setup(fx):
        objects = getattr(fx, rows)
        serpy_class = others.serpy_serializers()[index]
        # serpy's answer is checked against DRF's, then timed against ours.
        _same_as_drf(lambda: serpy_class(objects, many=True).data, serializer_class, objects)
        return (lambda: serpy_class(objects, many=True).data,
                accel.represent_many(serializer_class, objects))
    return setup


def _pydantic_many(index, serializer_class, rows):
    def setup(fx):
        objects = getattr(fx, rows)
        model = others.pydantic_models()[index]
        _same_as_drf(lambda: others.pydantic_many(model, objects), serializer_class, objects)
        return (lambda: others.pydantic_many(model, objects),
                accel.represent_many(serializer_class, objects))
    return setup


def _same_as_drf(run, serializer_class, objects):
    difference = first_difference(serializer_class(objects, many=True).data, run())
    if difference is not None:
        raise Mismatch(f"not DRF's output: {difference}")


def _detail(fx):
    product = fx.detail_product
    return (lambda: ProductNestedSerializer(product).data,
            accel.represent_one(ProductNestedSerializer, product))


# --- Validation ------------------------------------------------------------------------

def _validation(serializer_class, nested):
    def setup(fx):
        payloads = data.payloads(nested)
        accelerated = accel.validating(serializer_class)
        return _validate_all(serializer_class, payloads), _validate_all(accelerated, payloads)
    return setup


def _field_loop(serializer_class, nested):
    """`Serializer.to_internal_value` alone on a ready serializer, without the
    serializer's construction and the rest of `is_valid()` around it."""
    def setup(fx):
        from rest_framework.exceptions import ValidationError

        from quorvel_core import current_timezone

        payloads = data.payloads(nested)
        serializer = serializer_class()
        plan = accel.compiled(serializer, read=False)

        def baseline():
            out = []
            for payload in payloads:
                try:
                    out.append(serializer.to_internal_value(payload))
                except ValidationError as exc:
                    out.append(exc.detail)
            return out

        def candidate():
            zone = current_timezone()
            out = []
            for payload in payloads:
                validated, errors = plan.to_internal_value(payload, zone)
                out.append(validated if errors is None else errors)
            return out

        return baseline, candidate
    return setup


def _validate_all(serializer_class, payloads):
    def run():
        out = []
        for payload in payloads:
            serializer = serializer_class(data=payload)
            out.append(serializer.validated_data if serializer.is_valid() else serializer.errors)
        return out
    return run


# --- JSON ------------------------------------------------------------------------------

def _orjson():
    try:
        import orjson
    except ImportError:
        raise Unavailable("orjson is not installed") from None
    return orjson


def _msgspec():
    try:
        import msgspec
    except ImportError:
        raise Unavailable("msgspec is not installed") from None
    return msgspec


def _to_json(ensure_ascii=False):
    from rest_framework.utils import encoders

    from quorvel_core._quorvel_core import to_json

    default = encoders.JSONEncoder().default
    # DRF's renderer settings: UTF-8 text, compact separators, no NaN.
    return lambda doc: to_json(doc, ensure_ascii=ensure_ascii, compact=True, allow_nan=False,
                               default=default)


def _encoders():
    """baseline label -> (factory of the encoding function, exact bytes expected)."""
    def renderer():
        from rest_framework.renderers import JSONRenderer

        return JSONRenderer().render

    def dumps():
        return lambda doc: json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode()

    return {"DRF JSONRenderer": (renderer, True), "json.dumps": (dumps, False),
            "orjson": (lambda: _orjson().dumps, False),
            "msgspec": (lambda: _msgspec().json.Encoder().encode, False)}


def _json_out(name, make_baseline, ensure_ascii=False):
    def setup(fx):
        doc = fx.documents[name]
        encode, to_json = make_baseline(), _to_json(ensure_ascii)
        return lambda: encode(doc), lambda: to_json(doc)
    return setup


def _json_out_fresh(name, make_baseline):
    """Every call gets a document of new str objects, as a response built from
    database rows does. CPython keeps a str's UTF-8 form once asked for it, so
    an encoder that asks encodes the same document faster the second time."""
    def setup(fx):
        raw = fx.encoded[name]
        encode, to_json = make_baseline(), _to_json()
        current = [None]

        def refresh():
            current[0] = json.loads(raw)

        return lambda: encode(current[0]), lambda: to_json(current[0]), refresh
    return setup


def _decoders():
    def loads(raw):
        return lambda: json.loads(raw)

    def orjson(raw):
        parse = _orjson().loads
        return lambda: parse(raw)

    def msgspec(raw):
        decode = _msgspec().json.Decoder().decode
        return lambda: decode(raw)

    return {"json.loads": loads, "orjson": orjson, "msgspec": msgspec}


def _json_in(name, make_baseline, text=False):
    def setup(fx):
        from quorvel_core._quorvel_core import from_json

        raw = fx.encoded[name].decode() if text else fx.encoded[name]
        return make_baseline(raw), lambda: from_json(raw)
    return setup


def same_bytes(expected, got):
    if expected == got:
        return None
    at = next((i for i, (x, y) in enumerate(zip(expected, got)) if x != y),
              min(len(expected), len(got)))
    return f"bytes differ at offset {at}: {expected[at:at + 40]!r} != {got[at:at + 40]!r}"


def same_json(expected, got):
    return first_difference(json.loads(expected), json.loads(got))


# --- A whole request ---------------------------------------------------------------------

def _client_call(method, url, *, undo=False, **kw):
    from django.db import transaction
    from django.test import Client

    client = Client()
    send = getattr(client, method)

    def run():
        if not undo:
            response = send(url, HTTP_ACCEPT="application/json", **kw)
        else:
            # Rolled back, the write leaves the rows as they were: every call
            # creates the same row with the same id, and answers the same bytes.
            with transaction.atomic():
                response = send(url, HTTP_ACCEPT="application/json", **kw)
                transaction.set_rollback(True)
        return response.status_code, response["Content-Type"], response.content
    return run


def same_response(expected, got):
    """(status, content type, body) of two responses: the body byte for byte."""
    if expected[:2] != got[:2]:
        return f"{expected[:2]} != {got[:2]}"
    return same_bytes(expected[2], got[2])


def _request_list(fx):
    from .urls import LIST_SIZE

    baseline = _client_call("get", "/drf/products/")
    status, _, body = baseline()
    if status != 200 or len(json.loads(body)) != LIST_SIZE:
        raise AssertionError(f"the plain endpoint answered {status} with {body[:200]!r}")
    return baseline, _client_call("get", "/fast/products/")


def _request_check(fx):
    payload = next(p for p in data.payloads(True) if len(p["reviews"]) == 3)
    body = json.dumps(payload).encode()
    baseline = _client_call("post", "/drf/check/", data=body, content_type="application/json")
    status, _, answer = baseline()
    if status != 200:
        raise AssertionError(f"the plain endpoint answered {status} with {answer[:200]!r}")
    return baseline, _client_call("post", "/fast/check/", data=body,
                                  content_type="application/json")


# --- Through install() ------------------------------------------------------------------------
# A project switches DRF's own classes process-wide, so both sides of these
# cases make the very same call: the case's modes run it with plain DRF, then
# with install() active.

def _plain():
    import quorvel_core

    quorvel_core.uninstall()


def _installed():
    import quorvel_core

    quorvel_core.install()


INSTALL = (_plain, _installed)


def _same_call(make):
    """A setup whose two sides are the one call `make(fixtures)` returns."""
    def setup(fx):
        run = make(fx)
        return run, run
    return setup


def _one(serializer_class, pick):
    def make(fx):
        instance = pick(fx)
        return lambda: serializer_class(instance).data
    return _same_call(make)


def _validate_one(serializer_class):
    def make(fx):
        payload = data.payloads(False)[0]

        def run():
            serializer = serializer_class(data=payload)
            return serializer.is_valid(), serializer.validated_data, serializer.errors

        valid, _, errors = run()
        if not valid:  # timing the error path would measure something else
            raise AssertionError(f"the payload does not validate: {errors}")
        return run
    return _same_call(make)


def _request(status, method, url, **kw):
    run = _client_call(method, url, **kw)
    answered, _, body = run()
    if answered != status:
        raise AssertionError(f"{method.upper()} {url} answered {answered} with {body[:200]!r}")
    return run, run


def _request_detail(fx):
    return _request(200, "get", f"/drf/products/{fx.detail_product.pk}/")


def _request_create(fx):
    payload = data.payloads(False)[0]
    body = {name: payload[name] for name in FLAT_FIELDS if name in payload}
    body["vendor"] = fx.products[0].vendor_id
    return _request(201, "post", "/drf/products/", undo=True, data=json.dumps(body).encode(),
                    content_type="application/json")


def _installed_cases():
    cases = []

    def add(group, name, setup, target=None, **kw):
        cases.append(Case(group, name, "DRF", setup, target, modes=INSTALL, **kw))

    one = "representation, one (install())"
    add(one, "flat, 10 fields", _one(ProductSerializer, lambda fx: fx.products[0]), ONE_FLAT)
    add(one, "two nested serializers, detail product",
        _one(ProductNestedSerializer, lambda fx: fx.detail_product), ONE_NESTED)

    validation = "validation, one payload (install())"
    add(validation, "Serializer, 10 flat fields", _validate_one(ProductWriteSerializer),
        VALIDATE_ONE)
    add(validation, "ModelSerializer, 10 flat fields",
        _validate_one(ProductModelWriteSerializer), VALIDATE_ONE_MODEL)

    many = "representation, many (1,000 rows) through install()"
    add(many, "flat, 10 fields",
        _same_call(lambda fx: _drf_many(ProductSerializer, fx.products)), REPR_MANY_INSTALLED)
    add(many, "two nested serializers",
        _same_call(lambda fx: _drf_many(ProductNestedSerializer, fx.nested_products)))

    request = "request, test client (install())"
    add(request, "GET detail, two nested serializers", _request_detail, compare=same_response)
    add(request, "GET list of 100", lambda fx: _request(200, "get", "/drf/products/"),
        compare=same_response)
    add(request, "POST create, ModelSerializer", _request_create, compare=same_response)
    return cases


# --- The ORM through install() ------------------------------------------------------------------
# install() also replaces Django's ModelIterable.__iter__, which turns the rows of
# every queryset of model instances into objects. Both sides evaluate the same
# queryset, SQL included, as a view does; only the process-wide mode differs.

def _orm_list(make_queryset, size):
    def setup(fx):
        def run():
            return list(make_queryset())

        rows = run()
        if len(rows) != size:  # too few rows would time something smaller
            raise AssertionError(f"the queryset gave {len(rows)} objects, not {size}")
        return run, run
    return setup


def _demo_orders(fx):
    # The demo's list view evaluates its queryset for page 1 as DRF's
    # PageNumberPagination does: get_queryset()'s .all(), sliced, then list().
    data.create_demo_rows()
    from demo.shop.views import ORDERS, Page

    return _orm_list(lambda: ORDERS.all()[:Page.page_size], Page.page_size)(fx)


def same_instances(expected, got):
    """Model instances compared by all a caller can see of them without a query
    (see `instance_print`); equal pks alone would pass half-built objects."""
    return first_difference([instance_print(obj) for obj in expected],
                            [instance_print(obj) for obj in got])


def instance_print(obj, above=()):
    """The class, the `_state`, every column's value as its repr (type and exact
    value: Decimal("1.10") is not Decimal("1.1")), and what select_related and
    prefetch_related cached on it, walked down. Everything is read from the
    instance's own dicts, never through descriptors, so a missing cache or a
    deferred column shows as a difference instead of running a query. An object
    met again below itself (a prefetched line item's order) is named by how far
    up it is."""
    if obj is None:
        return None
    for depth, seen in enumerate(reversed(above), 1):
        if obj is seen:
            return f"the object {depth} level(s) up"
    values = obj.__dict__
    below = above + (obj,)
    prefetched = {}
    for name, cached in sorted(values.get("_prefetched_objects_cache", {}).items()):
        rows = cached if isinstance(cached, list) else cached._result_cache
        prefetched[name] = None if rows is None else [instance_print(o, below) for o in rows]
    return {
        "class": f"{type(obj).__module__}.{type(obj).__qualname__}",
        "db": obj._state.db,
        "adding": obj._state.adding,
        "columns": {f.attname: repr(values[f.attname]) if f.attname in values else "deferred"
                    for f in obj._meta.concrete_fields},
        "related": {name: instance_print(other, below)
                    for name, other in sorted(obj._state.fields_cache.items())},
        "prefetched": prefetched,
    }


def _orm_cases():
    from .shop.models import Product, Review

    group = "ORM, list() of a queryset through install()"

    def add(name, setup, target):
        return Case(group, name, "Django", setup, target, compare=same_instances, modes=INSTALL)

    return [
        add("1,000 products, 10 fields",
            _orm_list(lambda: Product.objects.order_by("id"), data.N_PRODUCTS), ORM_LIST),
        add("1,000 reviews, select_related of product and its vendor",
            _orm_list(lambda: Review.objects.select_related("product__vendor").order_by("id")[:1000],
                      1000),
            ORM_SELECT_RELATED),
        add("demo orders, page of 100: customer, prefetched items and products",
            _demo_orders, ORM_DEMO_ORDERS),
    ]


# --- The table of cases ------------------------------------------------------------------------

def all_cases():
    cases = []
    add = cases.append
    many = "representation, many (1,000 rows)"
    for label, serializer_class, rows, index in (
        ("flat, 10 fields", ProductSerializer, "products", 0),
        ("two nested serializers", ProductNestedSerializer, "nested_products", 1),
    ):
        add(Case(many, label, "DRF", _repr_many(serializer_class, rows), REPR_MANY))
        add(Case(many, label, "serpy", _serpy_many(index, serializer_class, rows)))
        add(Case(many, label, "pydantic", _pydantic_many(index, serializer_class, rows)))
    add(Case(many, "fields falling back to Python", "DRF",
             _repr_many(ProductPythonSerializer, "products_with_vendor")))

    add(Case("representation, one", "nested detail, drop-in mixin", "DRF", _detail, DETAIL))

    validation = "validation, is_valid() of 1,000 payloads"
    add(Case(validation, "flat, 10 fields", "DRF",
             _validation(ProductWriteSerializer, False), VALIDATION))
    add(Case(validation, "two nested serializers", "DRF",
             _validation(ProductNestedWriteSerializer, True), VALIDATION))
    loop = "field loop only, to_internal_value of 1,000 payloads"
    add(Case(loop, "flat, 10 fields", "DRF", _field_loop(ProductWriteSerializer, False)))
    add(Case(loop, "two nested serializers", "DRF", _field_loop(ProductNestedWriteSerializer, True)))

    out_targets = {"DRF JSONRenderer": TO_JSON_VS_RENDERER, "orjson": TO_JSON_VS_ORJSON}
    for doc in JSON_DOCUMENTS:
        for label, (make, exact) in _encoders().items():
            add(Case("JSON out, to_json", doc, label, _json_out(doc, make),
                     out_targets.get(label), compare=same_bytes if exact else same_json))
    for label in ("orjson", "msgspec"):
        make = _encoders()[label][0]
        add(Case("JSON out, to_json", "strings, new str objects each call", label,
                 _json_out_fresh("strings", make), out_targets.get(label), compare=same_json))
    # ensure_ascii=True against orjson's UTF-8, the nearest it has.
    for doc in JSON_DOCUMENTS:
        add(Case("JSON out, to_json(ensure_ascii=True)", doc, "orjson",
                 _json_out(doc, _encoders()["orjson"][0], ensure_ascii=True),
                 TO_JSON_ASCII_VS_ORJSON, compare=same_json))
    in_targets = {"json.loads": FROM_JSON_VS_LOADS, "orjson": FROM_JSON_VS_ORJSON}
    for doc in JSON_DOCUMENTS:
        for label, make in _decoders().items():
            add(Case("JSON in, from_json", doc, label, _json_in(doc, make), in_targets.get(label)))
    for doc in JSON_DOCUMENTS:
        add(Case("JSON in, from_json of str", doc, "orjson",
                 _json_in(doc, _decoders()["orjson"], text=True), FROM_JSON_STR_VS_ORJSON))

    request = "request, test client"
    add(Case(request, "GET list of 100, serializer + renderer", "DRF", _request_list))
    add(Case(request, "POST nested product, parser + validation + renderer", "DRF",
             _request_check))
    cases += _installed_cases()
    cases += _orm_cases()
    return cases
