"""Fills the demo database with the same few thousand rows on every machine."""

import datetime
import random
import sys
from decimal import Decimal

from django.db import connection, transaction

from .shop.models import Customer, LineItem, Order, Product, Tag

SEED = 9
# Stored as SQLite's user_version once seeding has finished; a file without it
# (an interrupted first run, an older layout) is made again. On PostgreSQL it is
# the comment of the orders table, written in the seeding transaction.
VERSION = 1

COUNTS = {"tags": 24, "products": 400, "customers": 600, "orders": 2500}
FIRST = ["Ada", "Bruno", "Chlo\u00e9", "Dmitri", "Elif", "Fran\u00e7ois", "G\u00fcl", "Hiro",
         "In\u00e8s", "Jonas", "Kaito", "Luc\u00eda", "Mateo", "Nadia", "Oskar", "Priya", "Quentin",
         "Rosa", "S\u00f8ren", "T\u00e9a", "Umar", "Vera", "Wen", "Xavier", "Yara", "Zo\u00eb"]
LAST = ["Almeida", "Bauer", "Castro", "Dubois", "Eriksen", "Fischer", "Garc\u00eda", "Horvat",
        "Ibrahim", "Jensen", "Kowalski", "Lef\u00e8vre", "M\u00fcller", "Nakamura", "O'Brien",
        "Popescu", "Quinn", "Rossi", "Sato", "Tanaka", "\u00dcnal", "Varga", "Wagner", "Yilmaz"]
WORDS = ["steel", "oak", "compact", "deluxe", "classic", "smart", "travel", "family", "mini",
         "pro", "eco", "vintage", "\u2014 limited", "caf\u00e9", "n\u00b05", "\u65e5\u672c"]
NOUNS = ["kettle", "lamp", "chess set", "trowel", "novel", "drill", "pan", "puzzle", "hose",
         "atlas", "wrench", "teapot", "board game", "rake", "cookbook", "saw"]
COUNTRIES = ["FR", "DE", "ES", "IT", "NL", "PL", "SE", "JP", "US", "BR", "TR", "IN"]
START = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)


def is_seeded():
    with connection.cursor() as cursor:
        if connection.vendor == "sqlite":
            cursor.execute("PRAGMA user_version")
            return cursor.fetchone()[0] == VERSION
        cursor.execute("SELECT obj_description(to_regclass(%s), 'pg_class')",
                       [Order._meta.db_table])
        return cursor.fetchone()[0] == _mark()


def _mark():
    return f"seed {VERSION}"


def seed(out=sys.stdout):
    rng = random.Random(SEED)
    progress = Progress(out, _total_rows(rng))
    with transaction.atomic():
        tags = _tags(rng, progress)
        products = _products(rng, progress, tags)
        customers = _customers(rng, progress)
        _orders(rng, progress, customers, products)
        if connection.vendor != "sqlite":
            with connection.cursor() as cursor:
                table = connection.ops.quote_name(Order._meta.db_table)
                cursor.execute(f"COMMENT ON TABLE {table} IS '{_mark()}'")
    if connection.vendor == "sqlite":
        with connection.cursor() as cursor:
            cursor.execute(f"PRAGMA user_version = {VERSION}")
    progress.done()


def _total_rows(rng):
    # Line items are one to five per order; the bar counts them as three.
    return (COUNTS["tags"] + COUNTS["products"] * 3 + COUNTS["customers"]
            + COUNTS["orders"] * 4)


def _moment(rng, days):
    return START + datetime.timedelta(days=rng.randrange(days), seconds=rng.randrange(86400),
                                      microseconds=rng.randrange(1000000))


def _tags(rng, progress):
    tags = Tag.objects.bulk_create(
        Tag(name=f"tag-{i:02d}", color=f"#{rng.randrange(1 << 24):06x}")
        for i in range(COUNTS["tags"]))
    progress.add(len(tags))
    return tags


def _products(rng, progress, tags):
    products = []
    for i in range(COUNTS["products"]):
        name = f"{rng.choice(WORDS)} {rng.choice(NOUNS)}"
        products.append(Product(
            sku=f"{rng.getrandbits(128):032x}", name=name.capitalize(),
            description=f"A {name} for every day.\nItem {i}." if i % 3 else "",
            category=rng.choice(Product.Category.values),
            price=Decimal(rng.randrange(99, 50000)) / 100, stock=rng.randrange(500),
            active=rng.random() > 0.1, weight_kg=round(rng.uniform(0.1, 30), 3) if i % 4 else None,
            added=_moment(rng, 365)))
    products = Product.objects.bulk_create(products)
    links = [Product.tags.through(product=product, tag=tag)
             for product in products for tag in rng.sample(tags, rng.randrange(4))]
    Product.tags.through.objects.bulk_create(links)
    progress.add(len(products) * 3)
    return products


def _customers(rng, progress):
    customers = []
    for i in range(COUNTS["customers"]):
        first, last = rng.choice(FIRST), rng.choice(LAST)
        birthday = datetime.date(1950, 1, 1) + datetime.timedelta(days=rng.randrange(20000))
        customers.append(Customer(
            uid=f"{rng.getrandbits(128):032x}", name=f"{first} {last}",
            email=f"{first.lower()}.{i}@example.com", country=rng.choice(COUNTRIES),
            tier=rng.choice(Customer.Tier.values), joined=_moment(rng, 700),
            birthday=birthday if i % 5 else None,
            credit=Decimal(rng.randrange(0, 100000)) / 100, newsletter=rng.random() < 0.4))
    customers = Customer.objects.bulk_create(customers)
    progress.add(len(customers))
    return customers


def _orders(rng, progress, customers, products):
    batch = 250
    for start in range(0, COUNTS["orders"], batch):
        orders, items = [], []
        for i in range(start, min(start + batch, COUNTS["orders"])):
            placed = _moment(rng, 700)
            status = rng.choice(Order.Status.values)
            shipped = (placed + datetime.timedelta(days=rng.randrange(1, 9))).date() \
                if status in ("shipped", "delivered") else None
            order = Order(number=f"QC-{i + 1:06d}", customer=rng.choice(customers), status=status,
                          placed=placed, shipped=shipped,
                          note=rng.choice(["", "", "Leave at the door", "Gift \u2014 no invoice"]))
            lines = [(rng.choice(products), rng.randrange(1, 6)) for _ in range(rng.randrange(1, 6))]
            order.total = sum(product.price * quantity for product, quantity in lines)
            orders.append(order)
            items.append(lines)
        orders = Order.objects.bulk_create(orders)
        LineItem.objects.bulk_create(
            LineItem(order=order, product=product, quantity=quantity, unit_price=product.price)
            for order, lines in zip(orders, items) for product, quantity in lines)
        progress.add(len(orders) * 4)


class Progress:
    """A one-line progress bar."""

    WIDTH = 40

    def __init__(self, out, total):
        self.out, self.total, self.count = out, total, 0
        self.tty = out.isatty()
        if self.tty:
            self._draw()

    def add(self, rows):
        self.count = min(self.total, self.count + rows)
        if self.tty:
            self._draw()

    def done(self):
        self.count = self.total
        self._draw()
        self.out.write("\n")
        self.out.flush()

    def _draw(self):
        filled = self.WIDTH * self.count // self.total
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.out.write(f"\rSeeding the demo database [{bar}] {100 * self.count // self.total:3d}%")
        self.out.flush()
