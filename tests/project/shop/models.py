"""Models covering the relations a serializer meets: FK, reverse FK, M2M, one-to-one."""

import uuid

from django.db import models


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
