"""`make load`: the demo API served by gunicorn twice, with quorvel_core and with
plain DRF, and driven by the same requests. Every response must be the same
bytes on both, quorvel_core may not fail where DRF does not, and neither
server's memory may keep growing once warm.

    python3 -m demo.load --gunicorn build/load/venv/bin/gunicorn [--requests N]

Each server has its own copy of the seeded database. A client sends each
request to one server and then to the other before going on. Requests that may
write take both servers to themselves while they run; the others share them.
So the writes reach both databases in the same order, creates get the same ids
on both sides, and a read sees the same rows on both: responses are compared
as they are, ids included.
"""

import argparse
import atexit
import collections
import ctypes
import http.client
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "load"
QUORVEL, PLAIN = "quorvel_core", "plain DRF"
HOST = "localhost"  # one Host header for both servers: DRF's page links are made from it
IGNORED_HEADERS = {"date", "server"}
SHOWN = 5
RSS_LIMIT = 0.10
SEEDED = {"tags": 24, "products": 400, "customers": 600, "orders": 2500}
JSON = "application/json"
FORM = "application/x-www-form-urlencoded"
MAIN_ROUNDS = 1_000_000  # rounds after warm-up are numbered from here, warm-up's from 0

Request = collections.namedtuple("Request", "method path body content_type headers writes")
Answer = collections.namedtuple("Answer", "status headers body seconds")


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
NOT_UTF8 = [b'{"name": "\xff"}', b'{"name": "caf\xc3"}', b'{"name": "caf\xc3', b'{"name": "\xc0\xaf"}',
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
ORDER_INVALID = [{"note": "see http://example.com"}, {"customer_id": 999999}, {"customer_id": "abc"},
                 {"status": "bogus"}, {"placed": "yesterday"}, {"total": "12.345"},
                 {"total": "1e20"}, {"note": "\u00e9" * 100_000}, {"number": "QC-000001"}]
PRODUCT_INVALID = [{"price": "-1.005"}, {"stock": -5}, {"tag_ids": [99999]}, {"tag_ids": "x"},
                   {"weight_kg": "heavy"}, {"category": "cars"}, {"active": "maybe"}, {"added": 12},
                   [1, 2]]
TAG_INVALID = [{"name": "not a slug!"}, {"name": "tag-01"}, {"color": "#1234567"}]
CONTENT_TYPES = ["text/plain", "application/xml", None, "application/vnd.api+json",
                 f"{JSON}; charset=bogus", FORM]
OTHER_CHARSETS = [
    req("POST", "/api/customers/", b'{"name": "caf\xe9", "country": "FRA"}', f"{JSON}; charset=latin-1"),
    req("POST", "/api/orders/", '{"note": "\u00e9"}'.encode("utf-16"), f"{JSON}; charset=utf-16"),
    req("POST", "/api/customers/", b"name=&email=nope&newsletter=maybe", FORM),
    req("POST", "/api/orders/", b'--b\r\nContent-Disposition: form-data; name="total"\r\n\r\nx\r\n--b--\r\n',
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
            "price": f"{rng.randrange(1, 999)}.{rng.randrange(100):02d}", "stock": rng.randrange(500),
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
    mixed = [rng.choice(READS)(rng) for _ in range(12)] + [bad_request(rng, emails) for _ in range(10)]
    rng.shuffle(mixed)
    for request in mixed[:11]:
        do(request)
    kind = ("customers", "orders", "products")[number % 3]
    if kind == "customers":
        email, uid = f"load.{k}.{number}@example.com", f"{k:08x}-0000-4000-8000-{number:012x}"
        created = customer(rng, email, uid=uid)
        # Now and then a large body, as raw UTF-8.
        junk = {"junk": "\u00e9\u4e2d" * 100_000} if number % 4 == 0 else {}
        updates = [req("PUT", "", json.dumps(customer(rng, email, **junk), ensure_ascii=False).encode(),
                       JSON), req("PATCH", "", {"tier": "silver", "credit": "3.50"}),
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
                     uid=f"{k:08x}-{i:04x}-4000-a000-{number:012x}") for i in range(10)], writes=True))
        for item in json.loads(body) if status == 201 else []:
            do(req("DELETE", f"/api/customers/{item['id']}/", writes=True))
    if number % 50 == 7:  # tags have no detail endpoint: made, never deleted
        do(req("POST", "/api/tags/", {"name": f"load-{k}-{number}", "color": "#12ab9f"}, writes=True))
    if number < MAIN_ROUNDS:
        # Deeper than Python's json can go: DRF's own 500. The recursion leaves
        # a thread's whole stack resident, no leak but 8 MB: warm-up sends it
        # often enough that every server thread has had its share.
        do(req("POST", "/api/customers/", deep(100_000), JSON))


class TurnLock:
    """Reads share the servers; a request that may write has both to itself.
    A waiting write goes before the reads that come after it."""

    def __init__(self):
        self._cond = threading.Condition()
        self._readers = self._waiting = 0
        self._writing = False

    @contextmanager
    def turn(self, writes):
        with self._cond:
            if writes:
                self._waiting += 1
                self._cond.wait_for(lambda: not self._writing and not self._readers)
                self._waiting, self._writing = self._waiting - 1, True
            else:
                self._cond.wait_for(lambda: not self._writing and not self._waiting)
                self._readers += 1
        try:
            yield
        finally:
            with self._cond:
                if writes:
                    self._writing = False
                else:
                    self._readers -= 1
                self._cond.notify_all()


class Finished(Exception):
    """The phase's requests are all sent, or the run is stopping."""


class Run:
    """What the clients share: the phase's budget, the turns and the tallies."""

    def __init__(self):
        self.lock, self.turns, self.stopping = threading.Lock(), TurnLock(), threading.Event()
        self.sent = self.budget = self.mismatches = self.unexpected_5xx = self.both_5xx = 0
        self.latencies = {QUORVEL: [], PLAIN: []}
        self.fives, self.statuses = collections.Counter(), collections.Counter()
        self.errors, self.shown = [], []

    def ticket(self):
        with self.lock:
            if self.stopping.is_set() or self.sent >= self.budget:
                raise Finished
            self.sent += 1
            return self.sent

    def record(self, request, answers):
        with self.lock:
            for name, answer in answers.items():
                if isinstance(answer, Exception):
                    self.errors.append(f"{name}: {describe(request)}: {answer!r}")
                else:
                    self.latencies[name].append(answer.seconds)
                    self.fives[name] += answer.status >= 500
            fast, plain = answers[QUORVEL], answers[PLAIN]
            if isinstance(fast, Exception) or isinstance(plain, Exception):
                return
            self.statuses[plain.status] += 1
            if fast.status >= 500:
                self.unexpected_5xx += plain.status < 500
                self.both_5xx += plain.status >= 500
            if fast[:3] != plain[:3]:
                self.mismatches += 1
                if len(self.shown) < SHOWN:
                    self.shown.append(difference(request, fast, plain))
            if not request.writes and request.method not in ("GET", "HEAD", "OPTIONS") \
                    and plain.status < 300:
                self.errors.append(f"the run's own fault, meant to change nothing but it "
                                   f"succeeded: {describe(request)}")


class Client:
    """Sends each request of its rounds to both servers, over a keep-alive
    connection to each."""

    def __init__(self, run, index, servers, emails):
        self.run, self.index, self.emails = run, index, emails
        self.connections = {server.name: http.client.HTTPConnection("127.0.0.1", server.port,
                                                                    timeout=60)
                            for server in servers}

    def do(self, request):
        """Plain DRF's status and body (0 after a connection error)."""
        number = self.run.ticket()
        # Which side goes first alternates, so that neither always meets warmer caches.
        names = [QUORVEL, PLAIN][::1 if number % 2 else -1]
        with self.run.turns.turn(request.writes):
            answers = {name: self._send(self.connections[name], request) for name in names}
        self.run.record(request, answers)
        plain = answers[PLAIN]
        return (0, b"") if isinstance(plain, Exception) else (plain.status, plain.body)

    @staticmethod
    def _send(connection, request):
        headers = {"Host": HOST, **request.headers}
        if request.content_type:
            headers["Content-Type"] = request.content_type
        start = time.perf_counter()
        try:
            connection.request(request.method, request.path, request.body, headers)
            response = connection.getresponse()
            body = response.read()
        except (OSError, http.client.HTTPException) as exc:
            connection.close()
            return exc
        kept = sorted((name.lower(), value) for name, value in response.getheaders()
                      if name.lower() not in IGNORED_HEADERS)
        return Answer(response.status, kept, body, time.perf_counter() - start)

    def play(self, first_round):
        try:
            # Every round sends at least one request: the budget bounds the rounds.
            for number in range(first_round, first_round + self.run.budget):
                play_round(self, random.Random(f"{self.index}:{number}"), number)
        except Finished:
            pass
        except Exception as exc:  # a fault of the run itself: reported, never hidden
            with self.run.lock:
                self.run.errors.append(f"client {self.index}: {exc!r}")
            self.run.stopping.set()

    def close(self):
        for connection in self.connections.values():
            connection.close()


def describe(request):
    body = request.body or b""
    shown = body[:80] + (b"..." if len(body) > 80 else b"")
    return f"{request.method} {request.path}" + (
        f" [{request.content_type}, {len(body)} bytes: {shown!r}]" if body else "")


def difference(request, fast, plain):
    lines = [describe(request)]
    if fast.status != plain.status:
        lines.append(f"status: {QUORVEL} {fast.status}, {PLAIN} {plain.status}")
    for name in sorted({n for n, _ in fast.headers + plain.headers}):
        mine, drf = ([v for n, v in answer.headers if n == name] for answer in (fast, plain))
        if mine != drf:
            lines.append(f"header {name}: {QUORVEL} {mine}, {PLAIN} {drf}")
    if fast.body != plain.body:
        at = next((i for i, (a, b) in enumerate(zip(fast.body, plain.body)) if a != b),
                  min(len(fast.body), len(plain.body)))
        lines.append(f"body, {len(fast.body)} and {len(plain.body)} bytes, differs at byte {at}: "
                     f"{QUORVEL} {fast.body[max(0, at - 40):at + 60]!r}, "
                     f"{PLAIN} {plain.body[max(0, at - 40):at + 60]!r}")
    return "\n      ".join(lines)


def drive(run, clients, requests, first_round):
    run.budget = run.sent + requests
    threads = [threading.Thread(target=client.play, args=(first_round,), daemon=True)
               for client in clients]
    for thread in threads:
        thread.start()
    for thread in threads:
        while thread.is_alive():
            thread.join(0.5)  # in short waits: Ctrl-C reaches the main thread


_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


class Server:
    """gunicorn serving the demo API from its own copy of the database, in a
    session of its own, so that stopping the group reaches every worker."""

    def __init__(self, name, install, args):
        self.name, self.install, self.args = name, install, args
        self.slug = "quorvel" if install else "plain"
        self.log = BUILD / f"{self.slug}.log"
        self.process = None

    def start(self, database):
        db = BUILD / f"{self.slug}.sqlite3"
        for stale in BUILD.glob(f"{self.slug}.sqlite3*"):
            stale.unlink()
        shutil.copyfile(database, db)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        env = dict(os.environ, PYTHONPATH=str(ROOT), DJANGO_SETTINGS_MODULE="demo.load_settings",
                   QUORVEL_LOAD_DB=str(db), QUORVEL_LOAD_INSTALL="1" if self.install else "0")
        command = [self.args.gunicorn, "demo.wsgi:application", "--bind", f"127.0.0.1:{self.port}",
                   "--worker-class", "gthread", "--workers", str(self.args.workers),
                   "--threads", str(self.args.threads), "--keep-alive", "120", "--timeout", "120",
                   "--graceful-timeout", "5", "--no-control-socket", "--chdir", str(ROOT),
                   "--error-logfile", "-", "--log-level", "error"]
        with open(self.log, "wb") as log:
            # PDEATHSIG: should this driver be killed outright, with no finally
            # and no atexit, the kernel still stops the master.
            self.process = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, env=env,
                cwd=ROOT, start_new_session=True,
                preexec_fn=lambda: _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM))

    def wait_ready(self, timeout=90):
        """Until every worker has loaded the application and one answers."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name}: gunicorn exited\n{self.log_tail()}")
            if len(self.workers_said()) >= self.args.workers:
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
                try:
                    connection.request("GET", "/api/tags/", headers={"Host": HOST})
                    if connection.getresponse().status == 200:
                        return
                except OSError:
                    pass
                finally:
                    connection.close()
            time.sleep(0.2)
        raise RuntimeError(f"{self.name}: no answer within {timeout} s\n{self.log_tail()}")

    def workers_said(self):
        """What demo.wsgi's workers printed: whether quorvel_core was on."""
        return [line for line in self.log.read_text(errors="replace").splitlines()
                if line.startswith("demo.wsgi: worker ")]

    def log_tail(self, lines=30):
        return "\n".join(self.log.read_text(errors="replace").splitlines()[-lines:])

    def memory(self):
        """The RSS in kB of the master and its workers, and the workers' pids."""
        workers = []
        for entry in os.scandir("/proc"):
            try:
                if entry.name.isdigit() and int(Path(entry.path, "stat").read_text()
                                                .rsplit(")", 1)[1].split()[1]) == self.process.pid:
                    workers.append(int(entry.name))
            except OSError:
                continue
        return sum(map(_rss_kb, [self.process.pid, *workers])), sorted(workers)

    def stop(self):
        if self.process is None:
            return
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
        try:  # whatever is left of the group, a worker that outlived its master too
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait(10)


def _rss_kb(pid):
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return 0
    return next((int(line.split()[1]) for line in status.splitlines() if line.startswith("VmRSS:")), 0)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m demo.load", description=__doc__.split("\n")[0])
    parser.add_argument("--gunicorn", required=True, help="the gunicorn script to serve with")
    parser.add_argument("--requests", type=int, default=30000, help="to each server after warm-up")
    parser.add_argument("--warmup", type=int, default=2000, help="to each server first (2000)")
    parser.add_argument("--clients", type=int, default=4, help="concurrent clients (4)")
    parser.add_argument("--workers", type=int, default=2, help="gunicorn workers per server (2)")
    parser.add_argument("--threads", type=int, default=4, help="threads per worker (4)")
    args = parser.parse_args(argv)
    args.gunicorn = str(Path(args.gunicorn).resolve())
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _exit_on_signal)
    database, emails = _prepare_database()
    BUILD.mkdir(parents=True, exist_ok=True)
    servers = [Server(QUORVEL, True, args), Server(PLAIN, False, args)]
    atexit.register(lambda: [server.stop() for server in servers])
    run, clients = Run(), []
    try:
        for server in servers:
            server.start(database)
        for server in servers:
            server.wait_ready()
        clients = [Client(run, i, servers, emails) for i in range(args.clients)]
        print(f"gunicorn: {args.workers} gthread workers x {args.threads} threads per server; "
              f"{args.clients} clients; {args.warmup} requests to each server to warm up, then "
              f"{args.requests}.", flush=True)
        drive(run, clients, args.warmup, 0)
        warm, first = run.sent, {server.name: server.memory() for server in servers}
        samples, sampled = [], threading.Event()

        def sample():
            while not sampled.wait(2.0):
                samples.append({server.name: server.memory() for server in servers})

        threading.Thread(target=sample, daemon=True).start()
        started = time.monotonic()
        drive(run, clients, args.requests, MAIN_ROUNDS)
        wall = time.monotonic() - started
        sampled.set()
        last = {server.name: server.memory() for server in servers}
        wrong = [line for server in servers for line in server.workers_said()
                 if not line.endswith(f"is_installed()={server.install}")]
        return report(args, run, warm, wall, first, [*samples, last], wrong)
    except KeyboardInterrupt:
        print("\nInterrupted: stopping the servers.", file=sys.stderr)
        return 130
    finally:
        run.stopping.set()
        for client in clients:
            client.close()
        for server in servers:
            server.stop()


def _exit_on_signal(signum, frame):
    raise SystemExit(128 + signum)  # through main's finally: the servers stop


def _prepare_database():
    """The seeded demo database (made on first use) and its customers' emails."""
    os.environ.setdefault("DJANGO_SETTINGS_MODULE", "demo.settings")
    import django

    django.setup()
    from django.conf import settings
    from django.db import connection

    from .__main__ import _prepare_database as prepare
    from .shop.models import Customer

    prepare()
    emails = dict(Customer.objects.values_list("id", "email"))
    connection.close()
    return settings.DATABASE_FILE, emails


def report(args, run, warm, wall, first, samples, wrong):
    failures = [f"a worker in the wrong mode: {line}" for line in wrong]
    print(f"\n{run.sent} requests to each server, {warm} of them warm-up; {wall:.0f} s after "
          "warm-up. Statuses: " + ", ".join(f"{s} x{n}" for s, n in sorted(run.statuses.items())))
    rows = collections.defaultdict(list)
    for name in (QUORVEL, PLAIN):
        times = sorted(run.latencies[name]) or [float("nan")]
        mean = sum(times) / len(times)
        (start, workers), end = first[name], samples[-1][name][0]
        growth = (end - start) / start
        rows["requests answered"].append(len(run.latencies[name]))
        rows["5xx answers"].append(run.fives[name])
        rows["mean latency"].append(f"{mean * 1e3:.2f} ms")
        rows["99th percentile latency"].append(f"{times[len(times) * 99 // 100] * 1e3:.2f} ms")
        rows["req/s (clients / mean latency)"].append(f"{args.clients / mean:.0f}")
        rows["RSS after warm-up"].append(f"{start / 1024:.1f} MB")
        rows["RSS at the end"].append(f"{end / 1024:.1f} MB")
        rows["RSS peak"].append(f"{max(s[name][0] for s in samples) / 1024:.1f} MB")
        rows["RSS growth"].append(f"{growth:+.1%}")
        if growth > RSS_LIMIT:
            failures.append(f"{name}: RSS grew by {growth:.1%} after warm-up")
        if any(s[name][1] != workers for s in samples):
            failures.append(f"{name}: gunicorn replaced a worker (a crash?): see {BUILD}/*.log")
    print(f"\n{'':32}{QUORVEL:>14}{PLAIN:>14}")
    for label, cells in rows.items():
        print(f"{label:32}" + "".join(f"{cell:>14}" for cell in cells))
    print("\nEach request is timed on its own, from sending it to the end of the answer. The servers "
          "take turns, so req/s is the rate that the clients would get from one server alone.")
    print(f"\nMismatches: {run.mismatches}. 5xx from {QUORVEL} where plain DRF gives none: "
          f"{run.unexpected_5xx}; 5xx from both (DRF's own): {run.both_5xx}. Errors: {len(run.errors)}.")
    for shown in run.shown:
        print(f"  mismatch: {shown}")
    for error in run.errors[:SHOWN]:
        print(f"  error: {error}")
    if run.mismatches:
        failures.append(f"{run.mismatches} answers differ")
    if run.unexpected_5xx:
        failures.append(f"{run.unexpected_5xx} 5xx from {QUORVEL} that plain DRF does not give")
    if run.errors:
        failures.append(f"{len(run.errors)} errors (connections, or the run itself)")
    if run.sent < warm + args.requests:
        failures.append(f"only {run.sent} of {warm + args.requests} requests were sent")
    for failure in failures:
        print(f"FAILED: {failure}")
    if not failures:
        print("Every answer was the same from both servers.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
