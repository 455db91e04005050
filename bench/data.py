"""The benchmark's data, made the same way on every run (fixed seeds).

Rows go into the in-memory database once per process; the JSON documents and
the validation payloads are plain Python data built from the same seeds.
"""

import datetime as dt
import decimal
import random
import uuid

N_VENDORS = 40
N_PRODUCTS = 1000
N_PAYLOADS = 1000
INVALID_EVERY = 20  # one payload in twenty fails validation somewhere

UTC = dt.timezone.utc
WORDS = ("amber", "basalt", "cobalt", "delta", "ember", "fjord", "garnet", "harbor", "iris",
         "jasper", "kelp", "lumen", "marble", "nectar", "onyx", "pine", "quartz", "raven")
# Mixed scripts, accents, emoji, quotes and control characters: the cases where
# a JSON encoder or decoder leaves its fast path.
TEXTS = (
    "Crème brûlée, façade, naïve résumé — déjà vu à Zürich",
    "Быстрая доставка по всей стране, гарантия два года",
    "東京の倉庫から発送します。ご注文ありがとうございます",
    "Ελληνικά: καλή ποιότητα, γρήγορη αποστολή",
    'Quotes "inside" and a back\\slash, a tab\there and a newline\nthere',
    "Emoji 🎉🚀 and symbols ©®™ mixed with plain ASCII words",
    "عربي: شحن سريع وجودة عالية",
    "plain ascii text of a moderate length, the common case in most APIs",
)


def create_rows():
    """Creates the tables and the rows, unless they are there; returns nothing."""
    from django.core.management import call_command

    from .shop.models import Product, Review, Vendor

    call_command("migrate", run_syncdb=True, verbosity=0)
    if Vendor.objects.exists():
        return
    rng = random.Random(1)
    vendors = Vendor.objects.bulk_create(
        Vendor(name=f"{rng.choice(WORDS).title()} {i}", country=rng.choice(("FR", "DE", "JP", "US")),
               joined=dt.date(2015, 1, 1) + dt.timedelta(days=rng.randrange(3000)))
        for i in range(N_VENDORS)
    )
    products = Product.objects.bulk_create(_product(rng, i, vendors) for i in range(N_PRODUCTS))
    Review.objects.bulk_create(
        _review(rng, product) for product in products for _ in range(rng.randrange(5))
    )


def create_demo_rows():
    """The demo's own rows (demo/seed.py: 2,500 orders of one to five line items,
    their customers and products), for the ORM cases that run the demo's
    querysets. Made on the first ORM case only: the other cases do not read
    them, and seeding takes about a second."""
    import io

    from demo import seed

    if not seed.is_seeded():
        seed.seed(out=io.StringIO())


def _moment(rng):
    return dt.datetime(2020, 1, 1, tzinfo=UTC) + dt.timedelta(
        seconds=rng.randrange(150_000_000), microseconds=rng.choice((0, rng.randrange(1_000_000))))


def _product(rng, i, vendors):
    from .shop.models import Product

    return Product(
        name=f"{rng.choice(WORDS).title()} {rng.choice(WORDS)} {i}",
        active=rng.random() < 0.8,
        price=decimal.Decimal(rng.randrange(100, 1_000_000)) / 100,
        created=_moment(rng),
        released=dt.date(2018, 1, 1) + dt.timedelta(days=rng.randrange(2500)),
        uid=uuid.UUID(int=rng.getrandbits(128), version=4),
        status=rng.choice(Product.Status.values),
        vendor=rng.choice(vendors),
        note=rng.choice((None, None, "fragile", "ships in two parts", "limited edition")),
        stock=rng.randrange(0, 5000),
    )


def _review(rng, product):
    from .shop.models import Review

    return Review(product=product, author=rng.choice(WORDS).title(), stars=rng.randrange(1, 6),
                  body=rng.choice(TEXTS), posted=_moment(rng))


def payloads(nested):
    """Validation input as a client would send it: JSON-shaped dicts of
    strings, numbers and booleans, with one invalid payload in twenty."""
    rng = random.Random(2)
    out = []
    for i in range(N_PAYLOADS):
        item = {
            "name": f"{rng.choice(WORDS).title()} {i}",
            "active": rng.choice((True, False, "true", 0)),
            "price": rng.choice((f"{rng.randrange(100, 99999) / 100:.2f}", rng.randrange(1, 999))),
            "created": _moment(rng).isoformat().replace("+00:00", "Z"),
            "released": (dt.date(2018, 1, 1) + dt.timedelta(days=rng.randrange(2500))).isoformat(),
            "uid": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
            "status": rng.choice(("draft", "live", "retired")),
            "note": rng.choice((None, "fragile", "  trimmed  ")),
            "stock": rng.randrange(0, 5000),
            "contact": f"{rng.choice(WORDS)}.{i}@example.com",
        }
        if nested:
            item["vendor"] = {"name": rng.choice(WORDS).title(), "country": "FR",
                              "joined": "2019-05-17"}
            item["reviews"] = [
                {"author": rng.choice(WORDS).title(), "stars": rng.randrange(1, 6),
                 "body": rng.choice(TEXTS), "posted": "2024-02-29T23:59:59.250000+01:00"}
                for _ in range(rng.randrange(4))
            ]
        if i % INVALID_EVERY == INVALID_EVERY - 1:
            _spoil(rng, item, nested)
        out.append(item)
    return out


def _spoil(rng, item, nested):
    spoilers = [
        ("price", "12.345"), ("status", "sold"), ("stock", -1), ("uid", "not-a-uuid"),
        ("created", "yesterday"), ("contact", "nobody"), ("name", ""),
    ]
    if nested:
        spoilers.append(("vendor", {"name": "X", "country": "FRA", "joined": "2019-05-17"}))
    key, value = rng.choice(spoilers)
    item[key] = value


def string_document():
    """1,000 records of text in several scripts, with escapes."""
    rng = random.Random(3)
    return [
        {"id": i, "title": rng.choice(TEXTS)[: rng.randrange(10, 60)],
         "body": " ".join(rng.choice(TEXTS) for _ in range(rng.randrange(2, 6))),
         "tags": [rng.choice(WORDS) for _ in range(rng.randrange(4))],
         "author": {"name": rng.choice(WORDS).title(), "bio": rng.choice(TEXTS)}}
        for i in range(1000)
    ]


def number_document():
    """1,000 records of integers and floats, small and large."""
    rng = random.Random(4)
    return [
        {"id": i, "count": rng.randrange(-1000, 1000), "big": rng.getrandbits(62),
         "ratio": rng.random(), "price": round(rng.uniform(0, 10_000), 2),
         "position": [rng.uniform(-180, 180), rng.uniform(-90, 90), rng.gauss(0, 1e6)],
         "samples": [rng.randrange(0, 65536) for _ in range(8)],
         "scale": rng.choice((1e-9, 2.5e21, 0.1, -3.75))}
        for i in range(1000)
    ]


def flat_row_document():
    """400 flat rows as a list endpoint renders them: ids, short non-ASCII
    codes, decimals as text, datetimes, UUIDs, booleans and nulls."""
    rng = random.Random(5)
    codes = ("Zürich", "São-12", "Łódź", "Ørsted", "Čakovec", "Reykjavík", "東京", "Αθήνα")
    start = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    return [
        {"id": i, "code": rng.choice(codes), "price": f"{rng.uniform(0, 5000):.2f}",
         "created": (start + dt.timedelta(seconds=rng.randrange(10**8))).isoformat(),
         "uid": str(uuid.UUID(int=rng.getrandbits(128))), "active": rng.random() < 0.7,
         "note": None if rng.random() < 0.6 else rng.choice(WORDS), "stock": rng.randrange(500)}
        for i in range(400)
    ]
