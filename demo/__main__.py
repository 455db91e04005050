"""`make demo`: the demo API's endpoints through plain DRF and through
quorvel_core, with identical bytes, and how long each took.

    python3 -m demo                  the comparison table
    python3 -m demo --serve          the API on http://127.0.0.1:8000/api/ (quorvel_core on)
    python3 -m demo --serve --plain  the same with plain DRF
    python3 -m demo --parts          also where each GET's time goes (see demo/parts.py)
"""

import argparse
import gc
import json
import os
import sys
import time


def main(argv=None):
    args = _arguments(argv)
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "demo.settings")
    import django

    django.setup()
    _prepare_database()
    if args.serve:
        _serve(args)
    else:
        status, times = _compare(args.seconds)
        if args.parts:
            _parts(times)
        sys.exit(status)


def _arguments(argv):
    parser = argparse.ArgumentParser(prog="make demo ARGS=...", description=__doc__.split("\n")[0])
    parser.add_argument("--serve", action="store_true", help="serve the API for a browser")
    parser.add_argument("--plain", action="store_true", help="with --serve: plain DRF")
    parser.add_argument("--port", type=int, default=8000, help="with --serve: the port (8000)")
    parser.add_argument("--parts", action="store_true",
                        help="then time each GET's parts: SQL, rows, prefetch levels, the rest")
    parser.add_argument("--seconds", type=float, default=0.25,
                        help="time spent per endpoint and side in each of five rounds (0.25)")
    return parser.parse_args(argv)


def _prepare_database():
    from django.conf import settings
    from django.core.management import call_command
    from django.db import connection

    from .seed import is_seeded, seed

    if settings.DATABASE_FILE is None:  # a server's database: its tables are made where missing
        if is_seeded():
            return
    else:
        if settings.DATABASE_FILE.exists() and is_seeded():
            return
        connection.close()
        settings.DATABASE_FILE.unlink(missing_ok=True)
    call_command("migrate", run_syncdb=True, verbosity=0)
    seed()


def _serve(args):
    from django.core.management import call_command

    import quorvel_core

    if not args.plain:
        quorvel_core.install()
    side = "plain DRF" if args.plain else "quorvel_core"
    print(f"Serving the demo API with {side} on http://127.0.0.1:{args.port}/api/orders/ "
          "(also tags, products, customers); Ctrl-C stops it.", flush=True)
    call_command("runserver", f"127.0.0.1:{args.port}", use_reloader=False,
                 insecure_serving=True)


ORDER = {"number": "QC-900001", "customer_id": 5, "status": "paid",
         "placed": "2025-03-04T05:06:07.123456+01:00", "shipped": None,
         "note": "Ring twice \u2014 merci", "total": "12.30"}
CUSTOMER = {"name": "Zo\u00eb Quinn", "email": "zoe.q@example.com", "country": "NL",
            "tier": "gold", "joined": "2024-05-06T07:08:09Z", "birthday": "1990-02-03",
            "credit": "100.50", "newsletter": True}

NEW_CUSTOMERS = [dict(CUSTOMER, uid=f"00000000-0000-4000-8000-{i:012d}", name=f"Bulk {i}",
                     email=f"bulk.{i}@example.com",
                     credit=f"{i}.25", birthday=None if i % 3 else "1980-01-02")
                 for i in range(50)]

# (label, method, path, JSON body)
ENDPOINTS = [
    ("tags, list", "get", "/api/tags/", None),
    ("products, page of 100", "get", "/api/products/", None),
    ("products, detail", "get", "/api/products/7/", None),
    ("customers, page of 100", "get", "/api/customers/", None),
    ("customers, detail", "get", "/api/customers/42/", None),
    ("orders, page of 100", "get", "/api/orders/", None),
    ("orders, detail", "get", "/api/orders/1234/", None),
    ("orders, create", "post", "/api/orders/", ORDER),
    ("customers, update", "put", "/api/customers/42/", CUSTOMER),
    ("products, partial update", "patch", "/api/products/7/", {"stock": 12, "tag_ids": [1, 2]}),
    ("customers, bulk create of 50", "post", "/api/customers/", NEW_CUSTOMERS),
    ("customers, invalid create", "post", "/api/customers/",
     {"name": "", "email": "nope", "country": "FRA", "credit": "1e9"}),
    ("orders, malformed JSON", "post", "/api/orders/", b'{"number": "QC-1",'),
]


# Minimum speed-ups: a list by its endpoint, every detail GET, every write.
PAGE_GOALS = {"products, page of 100": 2.5, "customers, page of 100": 3.0,
              "orders, page of 100": 2.5, "tags, list": 2.0}
DETAIL_GOAL = 1.5
WRITE_GOAL = 1.1


def _goal(endpoint):
    label, method = endpoint[:2]
    if method in ("post", "put", "patch"):
        return WRITE_GOAL
    if label.endswith(", detail"):
        return DETAIL_GOAL
    return PAGE_GOALS.get(label)


def _goal_text(goal, ratio):
    """As the benchmark's table shows a target; a missed goal is reported, not
    an error: only differing bytes fail the demo."""
    if goal is None:
        return ""
    return f">= {goal:.2f}x {'met' if ratio >= goal else 'MISSED'}"


def _request(client, method, path, body):
    from django.db import transaction

    kwargs = {}
    if body is not None:
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        kwargs = {"data": data, "content_type": "application/json"}
    # Writes are undone, so that both sides see the same rows and make the same ids.
    with transaction.atomic():
        response = getattr(client, method)(path, **kwargs)
        transaction.set_rollback(True)
    return response


def _reset_sequences():
    """Sets each table's next id after its highest one. PostgreSQL's sequences
    ignore a rollback (SQLite's ids do not), and both sides' writes must make
    the same ids."""
    from django.apps import apps
    from django.core.management.color import no_style
    from django.db import connection

    if connection.vendor != "postgresql":
        return
    models = apps.get_app_config("shop").get_models(include_auto_created=True)
    with connection.cursor() as cursor:
        for sql in connection.ops.sequence_reset_sql(no_style(), models):
            cursor.execute(sql)


def _exchange(client, endpoint):
    _reset_sequences()
    response = _request(client, *endpoint[1:])
    return response.status_code, sorted(response.items()), response.content


def _per_request(client, endpoint, seconds, count=None):
    """Seconds per request, and the request count that fills `seconds`."""
    if count is None:
        start = time.process_time()
        count = 0
        while time.process_time() - start < seconds / 5:
            _request(client, *endpoint[1:])
            count += 1
        count = max(1, count * 5)
    gc.collect()
    start = time.process_time()
    for _ in range(count):
        _request(client, *endpoint[1:])
    return (time.process_time() - start) / count, count


def _compare(seconds):
    from django.test import Client

    import quorvel_core

    client = Client()
    rows, all_same, best = [], True, []
    print("Each endpoint through Django's test client, plain DRF against quorvel_core.install(): "
          "CPU time per request, best of five rounds.\n")
    for endpoint in ENDPOINTS:
        quorvel_core.uninstall()
        expected = _exchange(client, endpoint)
        quorvel_core.install()
        same = _exchange(client, endpoint) == expected
        all_same &= same
        times, counts = {False: [], True: []}, {}
        for _ in range(5):
            for accelerated in (False, True):
                (quorvel_core.install if accelerated else quorvel_core.uninstall)()
                spent, counts[accelerated] = _per_request(client, endpoint, seconds,
                                                          counts.get(accelerated))
                times[accelerated].append(spent)
        drf, fast = min(times[False]), min(times[True])
        best.append((endpoint, drf, fast))
        rows.append((f"{endpoint[1].upper()} {endpoint[2]}", endpoint[0], str(expected[0]),
                     f"{drf * 1e3:.3f} ms", f"{fast * 1e3:.3f} ms", f"{drf / fast:.2f}x",
                     "yes" if same else "NO", _goal_text(_goal(endpoint), drf / fast)))
    quorvel_core.uninstall()
    _table(("request", "endpoint", "status", "DRF", "quorvel_core", "speed-up", "same bytes",
            "goal"), rows)
    if all_same:
        print("\nEvery response was byte for byte the same (status, headers and body).")
        return 0, best
    print("\nSome responses differed: that is a defect, please report it.")
    return 1, best


def _parts(times):
    from django.test import Client

    from . import parts

    client = Client()
    parts.report(times, lambda endpoint: _request(client, *endpoint[1:]), _table)


def _table(header, rows):
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    right = {3, 4, 5}

    def line(row):
        return "  ".join(cell.rjust(w) if i in right else cell.ljust(w)
                         for i, (cell, w) in enumerate(zip(row, widths))).rstrip()

    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main()
