"""A small shop: customers place orders of products, one line item per product."""

import uuid

from django.db import models


class Tag(models.Model):
    name = models.SlugField(max_length=40, unique=True)
    color = models.CharField(max_length=7, default="#888888")


class Product(models.Model):
    class Category(models.TextChoices):
        BOOKS = "books", "Books"
        GAMES = "games", "Games"
        GARDEN = "garden", "Garden"
        KITCHEN = "kitchen", "Kitchen"
        TOOLS = "tools", "Tools"

    sku = models.UUIDField(default=uuid.uuid4, unique=True)
    name = models.CharField(max_length=120)
    description = models.TextField(blank=True)
    category = models.CharField(max_length=10, choices=Category.choices)
    price = models.DecimalField(max_digits=10, decimal_places=2)
    stock = models.PositiveIntegerField(default=0)
    active = models.BooleanField(default=True)
    weight_kg = models.FloatField(null=True, blank=True)
    added = models.DateTimeField()
    tags = models.ManyToManyField(Tag, related_name="products", blank=True)


class Customer(models.Model):
    class Tier(models.TextChoices):
        BASIC = "basic", "Basic"
        SILVER = "silver", "Silver"
        GOLD = "gold", "Gold"

    uid = models.UUIDField(default=uuid.uuid4, unique=True)
    name = models.CharField(max_length=100)
    email = models.EmailField(unique=True)
    country = models.CharField(max_length=2)
    tier = models.CharField(max_length=6, choices=Tier.choices, default=Tier.BASIC)
    joined = models.DateTimeField()
    birthday = models.DateField(null=True, blank=True)
    credit = models.DecimalField(max_digits=8, decimal_places=2, default=0)
    newsletter = models.BooleanField(default=False)


class Order(models.Model):
    class Status(models.TextChoices):
        NEW = "new", "New"
        PAID = "paid", "Paid"
        SHIPPED = "shipped", "Shipped"
        DELIVERED = "delivered", "Delivered"
        CANCELLED = "cancelled", "Cancelled"

    number = models.CharField(max_length=12, unique=True)
    customer = models.ForeignKey(Customer, on_delete=models.CASCADE, related_name="orders")
    status = models.CharField(max_length=9, choices=Status.choices, default=Status.NEW)
    placed = models.DateTimeField()
    shipped = models.DateField(null=True, blank=True)
    note = models.CharField(max_length=200, blank=True)
    total = models.DecimalField(max_digits=12, decimal_places=2, default=0)


class LineItem(models.Model):
    order = models.ForeignKey(Order, on_delete=models.CASCADE, related_name="items")
    product = models.ForeignKey(Product, on_delete=models.PROTECT, related_name="line_items")
    quantity = models.PositiveSmallIntegerField()
    unit_price = models.DecimalField(max_digits=10, decimal_places=2)
