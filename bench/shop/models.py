"""The benchmark's models: a product with every common column type, its vendor
(foreign key) and its reviews (reverse foreign key)."""

import uuid

from django.db import models


class Vendor(models.Model):
    name = models.CharField(max_length=100)
    country = models.CharField(max_length=2)
    joined = models.DateField()


class Product(models.Model):
    class Status(models.TextChoices):
        DRAFT = "draft", "Draft"
        LIVE = "live", "Live"
        RETIRED = "retired", "Retired"

    name = models.CharField(max_length=200)
    active = models.BooleanField(default=True)
    price = models.DecimalField(max_digits=10, decimal_places=2)
    created = models.DateTimeField()
    released = models.DateField()
    uid = models.UUIDField(default=uuid.uuid4, unique=True)
    status = models.CharField(max_length=10, choices=Status.choices)
    vendor = models.ForeignKey(Vendor, on_delete=models.CASCADE, related_name="products")
    note = models.CharField(max_length=200, null=True, blank=True)
    stock = models.IntegerField(default=0)


class Review(models.Model):
    product = models.ForeignKey(Product, on_delete=models.CASCADE, related_name="reviews")
    author = models.CharField(max_length=100)
    stars = models.PositiveSmallIntegerField()
    body = models.TextField()
    posted = models.DateTimeField()
