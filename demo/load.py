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
as they are, ids included. What is sent is in demo/load_requests.py.
"""

import argparse
import atexit
import collections
import ctypes
import http.client
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

from .load_requests import MAIN_ROUNDS, play_round

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "load"
QUORVEL, PLAIN = "quorvel_core", "plain DRF"
HOST = "localhost"  # one Host header for both servers: DRF's page links are made from it
IGNORED_HEADERS = {"date", "server"}
SHOWN = 5
RSS_LIMIT = 0.10

Answer = collections.namedtuple("Answer", "status headers body seconds")


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
        while time.monotonic() < deadline and self.process.poll() is None:
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
        tail = "\n".join(self.log.read_text(errors="replace").splitlines()[-30:])
        raise RuntimeError(f"{self.name}: gunicorn did not come up; the end of {self.log}:\n{tail}")

    def workers_said(self):
        """What demo.wsgi's workers printed: whether quorvel_core was on."""
        return [line for line in self.log.read_text(errors="replace").splitlines()
                if line.startswith("demo.wsgi: worker ")]

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
    return next((int(line.split()[1]) for line in status.splitlines()
                 if line.startswith("VmRSS:")), 0)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m demo.load",
                                     description=__doc__.split("\n")[0])
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
    print(f"\nSignal {signum}: stopping the servers.", file=sys.stderr)
    raise SystemExit(128 + signum)  # through main's finally


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
    print("\nEach request is timed on its own, from sending it to the end of the answer. The "
          "servers take turns, so req/s is the rate that the clients would get from one alone.")
    print(f"\nMismatches: {run.mismatches}. 5xx from {QUORVEL} where plain DRF gives none: "
          f"{run.unexpected_5xx}; 5xx from both (DRF's own): {run.both_5xx}. "
          f"Errors: {len(run.errors)}.")
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
