"""Models covering the relations a serializer meets: FK, reverse FK, M2M, one-to-one."""

import uuid

from django.db import models
from django.db.models.query_utils import DeferredAttribute


class Publisher(models.Model):
    name = models.CharField(max_length=100)
    website = models.URLField(blank=True)


class Author(models.Model):
    name = models.CharField(max_length=100)
    email = models.EmailField(blank=True)
    birth_date = models.DateField(null=True, blank=True)


class Tag(models.Model):
    label = models.SlugField(max_length=50, unique=True)


class Book(models.Model):
    class Format(models.TextChoices):
        HARDCOVER = "hc", "Hardcover"
        PAPERBACK = "pb", "Paperback"
        EBOOK = "eb", "E-book"

    uid = models.UUIDField(default=uuid.uuid4, unique=True)
    title = models.CharField(max_length=200)
    pages = models.IntegerField(default=0)
    price = models.DecimalField(max_digits=8, decimal_places=2, default=0)
    rating = models.FloatField(null=True, blank=True)
    in_print = models.BooleanField(default=True)
    format = models.CharField(max_length=2, choices=Format.choices, default=Format.PAPERBACK)
    published = models.DateField(null=True, blank=True)
    updated = models.DateTimeField(null=True, blank=True)
    publisher = models.ForeignKey(
        Publisher, null=True, blank=True, on_delete=models.SET_NULL, related_name="books"
    )
    authors = models.ManyToManyField(Author, related_name="books", blank=True)
    tags = models.ManyToManyField(Tag, related_name="books", blank=True)
    extra = models.JSONField(default=dict, blank=True)

    def shout(self):
        return self.title.upper()

    @property
    def page_label(self):
        return f"{self.pages} pages"


class Review(models.Model):
    book = models.ForeignKey(Book, on_delete=models.CASCADE, related_name="reviews")
    body = models.TextField()
    stars = models.PositiveSmallIntegerField()


class Profile(models.Model):
    author = models.OneToOneField(Author, on_delete=models.CASCADE, related_name="profile")
    bio = models.TextField(blank=True)


class Gadget(models.Model):
    """The remaining basic field types, and a relation without related_name."""

    serial = models.BigIntegerField(unique=True)
    count = models.SmallIntegerField(default=0)
    weight = models.FloatField(default=1.0)
    alarm = models.TimeField(null=True, blank=True)
    warranty = models.DurationField(null=True, blank=True)
    address = models.GenericIPAddressField(null=True, blank=True)
    manual = models.FileField(blank=True)
    notes = models.TextField(blank=True)
    owner = models.ForeignKey(Author, null=True, blank=True, on_delete=models.SET_NULL)


class Category(models.Model):
    """A tree: each category's children point at it."""

    name = models.CharField(max_length=50)
    parent = models.ForeignKey(
        "self", null=True, blank=True, on_delete=models.CASCADE, related_name="children"
    )


# The row loop's differential tests (tests/test_rows.py): fields whose reading
# runs Python of their own, inheritance, and classes Django must build itself.

class UpperCharField(models.CharField):
    """Reads back upper-cased; a stored "boom" cannot be read."""

    def from_db_value(self, value, expression, connection):
        if value == "boom":
            raise ValueError("boom is not a code")
        return value if value is None else value.upper()


class NotingDescriptor(DeferredAttribute):
    """Notes each value set in the instance's __dict__; refuses negatives."""

    def __set__(self, instance, value):
        if isinstance(value, int) and value < 0:
            raise ValueError(f"negative level {value}")
        instance.__dict__[self.field.attname] = value
        instance.__dict__.setdefault("levels_set", []).append(value)


class NotingIntegerField(models.IntegerField):
    descriptor_class = NotingDescriptor


class Ticket(models.Model):
    id = models.UUIDField(primary_key=True, default=uuid.uuid4)  # foreign keys hold UUIDs
    label = models.CharField(max_length=20)


class Place(models.Model):
    name = models.CharField(max_length=50)
    code = UpperCharField(max_length=20, blank=True)
    level = NotingIntegerField(default=0)
    document = models.FileField(blank=True)
    picture = models.ImageField(blank=True)
    ticket = models.ForeignKey(Ticket, null=True, blank=True, on_delete=models.SET_NULL)
    tag = models.ForeignKey(Tag, to_field="label", null=True, blank=True,
                            on_delete=models.SET_NULL, related_name="+")


class Restaurant(Place):
    serves_pizza = models.BooleanField(default=False)
    publisher = models.ForeignKey(Publisher, null=True, blank=True, on_delete=models.SET_NULL,
                                  related_name="+")


class PlaceProxy(Place):
    class Meta:
        proxy = True


class GreetedPlace(Place):
    class Meta:
        proxy = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.greeting = len(args)


class LoadedPlace(Place):
    class Meta:
        proxy = True

    @classmethod
    def from_db(cls, db, field_names, values):
        obj = super().from_db(db, field_names, values)
        obj.loaded = tuple(field_names)
        return obj


class Noted:
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.noted = True


class NotedPlace(Place, Noted):  # Model.__init__'s super().__init__() reaches Noted's
    class Meta:
        proxy = True


class Measure(models.Model):
    """Decimal columns of several scales, read back from the floats and ints SQLite stores."""
    cents = models.DecimalField(max_digits=12, decimal_places=2, null=True)
    fine = models.DecimalField(max_digits=30, decimal_places=12, null=True)
    whole = models.DecimalField(max_digits=5, decimal_places=0, null=True)
