"""What `make load` (demo/load.py) sends: rounds of requests over every
endpoint of the demo API, each round the same on every run.

A request marked `writes` may change rows; every other one must change none,
wherever it goes, whatever the rows are by then (the load run checks that no
such request other than a read succeeds).
"""

import collections
import json

SEEDED = {"tags": 24, "products": 400, "customers": 600, "orders": 2500}
JSON = "application/json"
FORM = "application/x-www-form-urlencoded"
MAIN_ROUNDS = 1_000_000  # rounds after warm-up are numbered from here, warm-up's from 0

Request = collections.namedtuple("Request", "method path body content_type headers writes")


def req(method, path, body=None, content_type=None, headers=None, writes=False):
    """A request; a body that is not bytes goes as JSON."""
    if body is not None and not isinstance(body, bytes):
        body, content_type = json.dumps(body).encode(), content_type or JSON
    return Request(method, path, body, content_type, headers or {}, writes)


def seeded(kind, rng):
    return rng.randrange(1, SEEDED[kind] + 1)


def page(kind, rng):
    return f"/api/{kind}/?page={rng.choice([*range(1, -(-SEEDED[kind] // 100) + 1), 'last'])}"


def deep(depth):
    return b"[" * depth + b"]" * depth


# Each takes the round's random generator.
READS = [
    lambda rng: req("GET", "/api/tags/"),
    lambda rng: req("GET", page("products", rng)),
    lambda rng: req("GET", page("customers", rng)),
    lambda rng: req("GET", page("orders", rng)),
    lambda rng: req("GET", f"/api/products/{seeded('products', rng)}/"),
    lambda rng: req("GET", f"/api/customers/{seeded('customers', rng)}/"),
    lambda rng: req("GET", f"/api/orders/{seeded('orders', rng)}/"),
    lambda rng: req("GET", "/api/customers/?page=2&format=json"),
    lambda rng: req("GET", f"/api/orders/{seeded('orders', rng)}/",
                    headers={"Accept": "application/json; indent=2"}),
    lambda rng: req("HEAD", page("products", rng)),
    lambda rng: req("OPTIONS", rng.choice(["/api/orders/", "/api/tags/", "/api/products/7/"])),
    lambda rng: req("GET", rng.choice(["/api/orders/999999/", "/api/products/0/", "/api/nope/",
                                       "/api/customers/?page=99", "/api/orders/?page=0",
                                       "/api/tags/?page=x", "/api/orders/abc/"])),
    lambda rng: req("GET", "/api/tags"),  # Django's redirect to the slash
    lambda rng: req("GET", "/api/tags/", headers={"Accept": "application/xml"}),
    lambda rng: req(rng.choice(["DELETE", "PUT"]), "/api/tags/"),
]
# What follows must never change a row, wherever it is sent.
NOT_UTF8 = [b'{"name": "\xff"}', b'{"name": "caf\xc3"}', b'{"name": "caf\xc3',
            b'{"name": "\xc0\xaf"}',
            b'{"name": "\xed\xa0\x80"}', b'{"name": "\xf4\x90\x80\x80"}',
            '{"name": "x"}'.encode("utf-16")]
UNPARSABLE = [b'{"number": "QC-1",', b'{"name": "x"} trailing', b'[1, 2,]', b"{'name': 1}",
              b'{"total": NaN}', b'{"total": -Infinity}', b"   ", b'\xef\xbb\xbf{"name": "x"}',
              b'{"name": "x\x00y"}', b'{"stock": ' + b"9" * 5000 + b"}"]
# JSON, but never a whole create: odd values, no object, nesting on both sides
# of the native reader's depth limit (200) and far past it.
ODD = [b'{"total": 1e999}', b'"\\ud800"', b'{"name": "\\ud800"}', b"null", b"123",
       b'{"a": 1, "a": 2}', b'{"name": "\\u00e9\\u4e2d\\ud83d\\ude00"}',
       b'{"stock": 123456789012345678901234567890}',
       *(deep(d) for d in (199, 200, 201, 1000, 5000)),
       *(b'{"name": ' + b'{"a": ' * d + b"1" + b"}" * d + b"}" for d in (199, 200, 201, 3000))]
CUSTOMER_INVALID = [
    {"name": "", "email": "nope", "country": "FRA", "credit": "1e9"},
    {"name": "x" * 101, "email": "a@b.c", "country": "FR", "joined": "not a date",
     "birthday": "1990-13-01", "tier": "platinum", "credit": "12.345", "newsletter": "perhaps"},
    {}, [{"name": "ok"}, {"email": 5}, "not an object"],
    [{"name": f"Bulk {i}", "email": f"bulk-{i}-invalid", "country": "FR",
      "joined": "2024-01-01T00:00:00Z"} for i in range(300)]]
ORDER_INVALID = [{"note": "see http://example.com"}, {"customer_id": 999999},
                 {"customer_id": "abc"}, {"status": "bogus"}, {"placed": "yesterday"},
                 {"total": "12.345"}, {"total": "1e20"}, {"note": "\u00e9" * 100_000},
                 {"number": "QC-000001"}]
PRODUCT_INVALID = [{"price": "-1.005"}, {"stock": -5}, {"tag_ids": [99999]}, {"tag_ids": "x"},
                   {"weight_kg": "heavy"}, {"category": "cars"}, {"active": "maybe"}, {"added": 12},
                   [1, 2]]
TAG_INVALID = [{"name": "not a slug!"}, {"name": "tag-01"}, {"color": "#1234567"}]
CONTENT_TYPES = ["text/plain", "application/xml", None, "application/vnd.api+json",
                 f"{JSON}; charset=bogus", FORM]
OTHER_CHARSETS = [
    req("POST", "/api/customers/", b'{"name": "caf\xe9", "country": "FRA"}',
        f"{JSON}; charset=latin-1"),
    req("POST", "/api/orders/", '{"note": "\u00e9"}'.encode("utf-16"), f"{JSON}; charset=utf-16"),
    req("POST", "/api/customers/", b"name=&email=nope&newsletter=maybe", FORM),
    req("POST", "/api/orders/",
        b'--b\r\nContent-Disposition: form-data; name="total"\r\n\r\nx\r\n--b--\r\n',
        "multipart/form-data; boundary=b")]


def customer(rng, email, **fields):
    return {"name": rng.choice(["Zo\u00eb Quinn", "S\u00f8ren \u00dcnal", "Ada"]), "email": email,
            "country": rng.choice(["NL", "FR", "JP"]), "tier": rng.choice(["basic", "gold"]),
            "joined": "2024-05-06T07:08:09Z", "birthday": rng.choice([None, "1990-02-03"]),
            "credit": f"{rng.randrange(10000)}.{rng.randrange(100):02d}",
            "newsletter": rng.random() < 0.5, **fields}


def order(rng, **fields):
    return {"number": "QC-9", "customer_id": seeded("customers", rng),
            "status": rng.choice(["new", "paid"]), "placed": "2025-03-04T05:06:07.123456+01:00",
            "shipped": None, "note": rng.choice(["", "Ring twice \u2014 merci", "\u65e5\u672c"]),
            "total": f"{rng.randrange(1, 99999)}.{rng.randrange(100):02d}", **fields}


def product(rng, sku):
    return {"sku": sku, "name": rng.choice(["Oak lamp", "Caf\u00e9 kettle", "\u65e5\u672c saw"]),
            "description": "Made for the load run.\nTwo lines.", "category": "tools",
            "price": f"{rng.randrange(1, 999)}.{rng.randrange(100):02d}",
            "stock": rng.randrange(500),
            "active": rng.random() < 0.8, "weight_kg": rng.choice([None, 1.25, 0.1, 12.0]),
            "added": "2025-01-02T03:04:05Z", "tag_ids": rng.sample(range(1, 25), rng.randrange(4))}


def bad_request(rng, emails):
    """Invalid data, a body that is not JSON or not UTF-8, a content type no
    parser takes, an id that is not there."""
    cid, pid, oid = seeded("customers", rng), seeded("products", rng), seeded("orders", rng)
    return rng.choice([
        lambda: req("POST", "/api/customers/", rng.choice(CUSTOMER_INVALID)),
        # A taken email; the country keeps it invalid even if that email moved on.
        lambda: req("POST", "/api/customers/", customer(rng, emails[cid], country="FRA")),
        lambda: req("POST", "/api/orders/", order(rng, **rng.choice(ORDER_INVALID))),
        lambda: req("PATCH", f"/api/orders/{oid}/", rng.choice(ORDER_INVALID[:-1])),
        lambda: req("PATCH", f"/api/products/{pid}/", rng.choice(PRODUCT_INVALID)),
        lambda: req("PUT", f"/api/customers/{cid}/", {"name": "only a name"}),
        lambda: req("POST", "/api/tags/", rng.choice(TAG_INVALID)),
        lambda: req("POST", rng.choice(["/api/orders/", "/api/customers/", "/api/tags/"]),
                    rng.choice(UNPARSABLE + ODD), JSON),
        lambda: req("PATCH", rng.choice([f"/api/orders/{oid}/", f"/api/products/{pid}/"]),
                    rng.choice(UNPARSABLE), JSON),
        lambda: req("POST", "/api/customers/", rng.choice(NOT_UTF8), JSON),
        lambda: req("POST", "/api/customers/", b'{"name": "x", "email": "nope"}',
                    rng.choice(CONTENT_TYPES)),
        lambda: rng.choice(OTHER_CHARSETS),
        lambda: rng.choice([req("PUT", "/api/customers/999999/", customer(rng, "x@example.com")),
                            req("DELETE", "/api/products/999999/"),
                            req("PATCH", "/api/orders/999999/", {"status": "paid"})]),
    ])()


def play_round(client, rng, number):
    """Reads and bad requests around one object's life (create, read, update,
    delete) and an update of a seeded row; now and then more."""
    do, k, emails = client.do, client.index, client.emails
    mixed = [rng.choice(READS)(rng) for _ in range(12)]
    mixed += [bad_request(rng, emails) for _ in range(10)]
    rng.shuffle(mixed)
    for request in mixed[:11]:
        do(request)
    kind = ("customers", "orders", "products")[number % 3]
    if kind == "customers":
        email, uid = f"load.{k}.{number}@example.com", f"{k:08x}-0000-4000-8000-{number:012x}"
        created = customer(rng, email, uid=uid)
        # Now and then a large body, as raw UTF-8.
        junk = {"junk": "\u00e9\u4e2d" * 100_000} if number % 4 == 0 else {}
        put = json.dumps(customer(rng, email, **junk), ensure_ascii=False).encode()
        updates = [req("PUT", "", put, JSON),
                   req("PATCH", "", {"tier": "silver", "credit": "3.50"}),
                   req("PATCH", "", b"newsletter=true&country=SE", FORM)]
    elif kind == "orders":
        created = order(rng, number=f"L{k}-{number}")
        updates = [req("PATCH", "", {"status": "shipped", "shipped": "2025-03-09"}),
                   req("PUT", "", order(rng, number=f"M{k}-{number}"))]
    else:
        sku = f"{k:08x}-0000-4000-9000-{number:012x}"
        created = product(rng, sku)
        updates = [req("PATCH", "", {"stock": rng.randrange(99), "tag_ids": [3, 1]}),
                   req("PUT", "", product(rng, sku))]
    status, body = do(req("POST", f"/api/{kind}/", created, writes=True))
    if status == 201:
        path = f"/api/{kind}/{json.loads(body)['id']}/"
        do(req("GET", path))
        for update in updates:
            do(update._replace(path=path, writes=True))
        do(req("DELETE", path, writes=True))
        do(req("GET", path))
    cid = seeded("customers", rng)
    do(rng.choice([
        req("PUT", f"/api/customers/{cid}/", customer(rng, emails[cid]), writes=True),
        req("PATCH", f"/api/products/{seeded('products', rng)}/",
            {"stock": rng.randrange(500), "tag_ids": rng.sample(range(1, 25), 2)}, writes=True),
        req("PATCH", f"/api/orders/{seeded('orders', rng)}/",
            {"status": rng.choice(["paid", "cancelled"]), "note": "Changed \u2014 by the load run"},
            writes=True)]))
    for request in mixed[11:]:
        do(request)
    if number % 10 == 3:  # a bulk create of ten, deleted one by one
        status, body = do(req("POST", "/api/customers/", [
            customer(rng, f"bulk.{k}.{number}.{i}@example.com",
                     uid=f"{k:08x}-{i:04x}-4000-a000-{number:012x}")
            for i in range(10)], writes=True))
        for item in json.loads(body) if status == 201 else []:
            do(req("DELETE", f"/api/customers/{item['id']}/", writes=True))
    if number % 50 == 7:  # tags have no detail endpoint: made, never deleted
        do(req("POST", "/api/tags/", {"name": f"load-{k}-{number}", "color": "#12ab9f"},
               writes=True))
    if number < MAIN_ROUNDS:
        # Deeper than Python's json can go: DRF's own 500. The recursion leaves
        # a thread's whole stack resident, no leak but 8 MB: warm-up sends it
        # often enough that every server thread has had its share.
        do(req("POST", "/api/customers/", deep(100_000), JSON))
