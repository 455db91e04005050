"""Fields only PostgreSQL has, or whose values only its driver gives: arrays,
nested arrays, hstore, a range (a ModelField in DRF), JSON read through a
decoder of the model's own, and timestamps that psycopg returns aware in UTC."""

import json
from collections import namedtuple
from decimal import Decimal

from django.contrib.postgres.fields import ArrayField, HStoreField, IntegerRangeField
from django.core.serializers.json import DjangoJSONEncoder
from django.db import models

Point = namedtuple("Point", "x y")


class Record(dict):
    """A JSON object as the decoder gives it back: not an exact dict."""


def _pairs(pairs):
    if [key for key, _ in pairs] == ["x", "y"]:
        return Point(*(value for _, value in pairs))
    return Record(pairs)


class ShelfDecoder(json.JSONDecoder):
    """Numbers with a fraction as Decimal, {"x", "y"} objects as Points (a tuple
    subclass), and every other object as a Record."""

    def __init__(self, **kwargs):
        kwargs.setdefault("parse_float", Decimal)
        kwargs.setdefault("object_pairs_hook", _pairs)
        super().__init__(**kwargs)


class Shelf(models.Model):
    name = models.CharField(max_length=40)
    sizes = ArrayField(models.IntegerField(null=True), default=list, blank=True)
    labels = ArrayField(models.CharField(max_length=12), size=4, null=True, blank=True)
    grid = ArrayField(ArrayField(models.IntegerField(null=True)), default=list, blank=True)
    prices = ArrayField(models.DecimalField(max_digits=6, decimal_places=2), default=list,
                        blank=True)
    uids = ArrayField(models.UUIDField(), default=list, blank=True)
    moments = ArrayField(models.DateTimeField(), default=list, blank=True)
    days = ArrayField(models.DateField(), null=True, blank=True)
    layout = models.JSONField(encoder=DjangoJSONEncoder, decoder=ShelfDecoder, null=True,
                              blank=True)
    facts = HStoreField(null=True, blank=True)
    span = IntegerRangeField(null=True, blank=True)
    seen = models.DateTimeField(null=True, blank=True)
    stocked = models.DateTimeField()
