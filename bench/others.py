"""The same representations written with serpy and with Pydantic v2.

Each library is imported on first use; `Unavailable` says which one is missing.
The value conversions reproduce DRF's text forms (UTC as "Z", decimals with
their places, UUIDs hyphenated), so that the outputs can be checked equal.
"""

import datetime as dt
import functools

from .harness import Unavailable


def _iso_datetime(value):
    text = value.astimezone(dt.timezone.utc).isoformat()
    return text[:-6] + "Z" if text.endswith("+00:00") else text


def _decimal(value):
    return format(value.quantize(_CENTS), "f")


_CENTS = __import__("decimal").Decimal("0.01")


@functools.cache
def serpy_serializers():
    """(flat, nested) serpy serializer classes."""
    try:
        import serpy
    except ImportError:
        raise Unavailable("serpy is not installed") from None

    class Text(serpy.Field):
        def to_value(self, value):
            return str(value)

    class Decimal(serpy.Field):
        to_value = staticmethod(_decimal)

    class DateTime(serpy.Field):
        to_value = staticmethod(_iso_datetime)

    class Date(serpy.Field):
        def to_value(self, value):
            return value.isoformat()

    class Product(serpy.Serializer):
        id = serpy.IntField()
        name = serpy.StrField()
        active = serpy.BoolField()
        price = Decimal()
        created = DateTime()
        released = Date()
        uid = Text()
        status = serpy.StrField()
        vendor = serpy.IntField(attr="vendor_id")
        note = serpy.StrField(required=False)

    class Vendor(serpy.Serializer):
        id = serpy.IntField()
        name = serpy.StrField()
        country = serpy.StrField()
        joined = Date()

    class Review(serpy.Serializer):
        id = serpy.IntField()
        author = serpy.StrField()
        stars = serpy.IntField()
        body = serpy.StrField()
        posted = DateTime()

    class ProductNested(Product):
        vendor = Vendor()
        reviews = Review(attr="reviews.all", call=True, many=True)

    return Product, ProductNested


@functools.cache
def pydantic_models():
    """(flat, nested) Pydantic model classes, dumped in JSON mode."""
    try:
        import decimal
        import uuid

        from pydantic import BaseModel, ConfigDict, Field, PlainSerializer, field_validator
        from typing import Annotated
    except ImportError:
        raise Unavailable("pydantic is not installed") from None

    Money = Annotated[decimal.Decimal, PlainSerializer(_decimal, return_type=str)]
    Moment = Annotated[dt.datetime, PlainSerializer(_iso_datetime, return_type=str)]

    class Product(BaseModel):
        model_config = ConfigDict(from_attributes=True)
        id: int
        name: str
        active: bool
        price: Money
        created: Moment
        released: dt.date
        uid: uuid.UUID
        status: str
        vendor: int = Field(validation_alias="vendor_id")
        note: str | None

    class Vendor(BaseModel):
        model_config = ConfigDict(from_attributes=True)
        id: int
        name: str
        country: str
        joined: dt.date

    class Review(BaseModel):
        model_config = ConfigDict(from_attributes=True)
        id: int
        author: str
        stars: int
        body: str
        posted: Moment

    class ProductNested(BaseModel):
        model_config = ConfigDict(from_attributes=True)
        id: int
        name: str
        active: bool
        price: Money
        created: Moment
        released: dt.date
        uid: uuid.UUID
        status: str
        vendor: Vendor
        note: str | None
        reviews: list[Review]

        @field_validator("reviews", mode="before")
        @classmethod
        def _related(cls, value):
            # A related manager: its prefetched rows, as DRF reads them.
            return list(value.all()) if hasattr(value, "all") else value

    return Product, ProductNested


def pydantic_many(model, objects):
    return [model.model_validate(obj, from_attributes=True).model_dump(mode="json")
            for obj in objects]
