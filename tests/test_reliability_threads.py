"""Eight threads share compiled serializers, the non-mapping type cache and
the JSON key cache, representing, validating, encoding and parsing at once;
every answer must equal the one computed on a single thread beforehand.

The interpreter is made to switch threads as often as it can, so that the
shared caches are entered by several threads at a time. The run is bounded
by a count of turns per thread (and a generous time cap, so a hang fails
instead of blocking CI); it measures nothing."""

import datetime
import decimal
import json
import sys
import threading
import time
import uuid

import pytest
from rest_framework import serializers
from rest_framework.utils.encoders import JSONEncoder

import quorvel_core
from quorvel_core import _quorvel_core as native

THREADS = 8
TURNS = 150
TIME_CAP = 60.0
HOOK = JSONEncoder().default


class InnerS(serializers.Serializer):
    x = serializers.IntegerField()
    tags = serializers.ListField(child=serializers.CharField())


class OuterS(serializers.Serializer):
    name = serializers.CharField(max_length=20)
    count = serializers.IntegerField(min_value=0)
    when = serializers.DateTimeField()
    ident = serializers.UUIDField()
    price = serializers.DecimalField(max_digits=8, decimal_places=2)
    inner = InnerS()
    items = InnerS(many=True)
    label = serializers.CharField(source="inner.label", read_only=True)
    shout = serializers.SerializerMethodField()

    def get_shout(self, obj):
        return obj.name.upper()


class Box:
    def __init__(self, **kw):
        self.__dict__.update(kw)


# Many distinct classes, more than the non-mapping type cache holds, so that
# threads keep adding and evicting types while others look them up.
HOLDER_TYPES = [type(f"Holder{i}", (Box,), {}) for i in range(48)]


def instance(i):
    inner = HOLDER_TYPES[i % 48](x=i, tags=[f"t{i}", "é"], label=f"label{i}")
    items = [HOLDER_TYPES[(i + k) % 48](x=k, tags=[], label="") for k in range(i % 4)]
    return HOLDER_TYPES[(i * 7) % 48](
        name=f"name{i}", count=i, when=datetime.datetime(2024, 1, 1 + i % 28, 12, i % 60),
        ident=uuid.UUID(int=i), price=decimal.Decimal(i) / 4, inner=inner, items=items)


def payload(i):
    data = {"name": f"name{i}" * (1 + i % 5), "count": i - 3, "when": f"2024-02-{1 + i % 28:02d}T10:00:00",
            "ident": str(uuid.UUID(int=i)), "price": f"{i}.25",
            "inner": {"x": str(i), "tags": ["a", str(i)]},
            "items": [{"x": k, "tags": []} for k in range(i % 3)]}
    if i % 6 == 0:
        del data["ident"]
    if i % 7 == 0:
        data["inner"] = {"x": "not a number", "tags": "no list"}
    return data


def json_document(i):
    # Keys of 2 to 63 bytes go through the shared key cache; many distinct ones
    # make threads collide in its slots.
    return json.dumps({f"key_{i % 50}_{k}": [k, f"v{k}", {"shared_key": k * 1.5}]
                       for k in range(20)}).encode()


@pytest.fixture
def busy_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work):
    barrier = threading.Barrier(THREADS)
    failures = []
    deadline = time.monotonic() + TIME_CAP

    def worker(index):
        try:
            barrier.wait()
            for turn in range(TURNS):
                if time.monotonic() > deadline:
                    raise TimeoutError("stress run exceeded its time cap")
                work(index, turn)
        except BaseException as exc:  # reported by the main thread
            failures.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def test_shared_serializers_and_caches_under_contention(busy_switching):
    compiled = quorvel_core.compile_serializer(OuterS())
    assert compiled is not None
    assert compiled.describe()["read"]["name"][1] == "str"  # the native paths are in use
    objects = [instance(i) for i in range(60)]
    inputs = [payload(i) for i in range(60)]
    documents = [json_document(i) for i in range(60)]

    # The single-threaded answers.
    represented = [compiled.to_representation(o) for o in objects]
    assert represented[5] == OuterS(objects[5]).data
    many = compiled.to_representation_many(objects)
    validated = [compiled.to_internal_value(d) for d in inputs]
    assert any(errors for _, errors in validated) and any(not errors for _, errors in validated)
    encoded = native.to_json(represented, default=HOOK)
    parsed = [native.from_json(d) for d in documents]
    assert parsed == [json.loads(d) for d in documents]

    def work(index, turn):
        i = (index * 13 + turn * 7) % 60
        op = (index + turn) % 5
        if op == 0:
            assert compiled.to_representation(objects[i]) == represented[i]
        elif op == 1:
            assert compiled.to_representation_many(objects) == many
        elif op == 2:
            assert compiled.to_internal_value(inputs[i]) == validated[i]
        elif op == 3:
            assert native.to_json(represented, default=HOOK) == encoded
        else:
            assert native.from_json(documents[i]) == parsed[i]

    run_threads(work)


def test_key_cache_shares_keys_across_threads(busy_switching):
    documents = [json_document(i) for i in range(60)]
    # The key texts of each document in order, outer and nested, worked out by
    # json.loads alone, which shares no cache with the reader.
    expected = [keys_of(json.loads(d)) for d in documents]
    answers = [[] for _ in range(THREADS)]

    def work(index, turn):
        i = (index + turn) % 60
        answers[index].append((i, keys_of(native.from_json(documents[i]))))

    run_threads(work)
    # Whatever the interleaving, every key comes back as a str with its own text.
    for thread in answers:
        assert len(thread) == TURNS
        for i, keys in thread:
            assert keys == expected[i]


def keys_of(value):
    """Every key of `value`, depth first, with its exact type."""
    if isinstance(value, dict):
        return [(type(k), k, keys_of(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [keys_of(v) for v in value]
    return None
