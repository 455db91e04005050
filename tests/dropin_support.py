"""Shared by the drop-in tests."""

import functools
from contextlib import contextmanager

from django.apps import apps
from django.core.management.color import no_style
from django.db import connection, transaction

import quorvel_core


@contextmanager
def installed(state):
    """The process-wide mode switched on (True) or off (False) for a block, and
    back to what it was afterwards (the suite may run with it on)."""
    was = quorvel_core.is_installed()
    (quorvel_core.install if state else quorvel_core.uninstall)()
    try:
        yield
    finally:
        (quorvel_core.install if was else quorvel_core.uninstall)()


@functools.cache
def _sequence_sql():
    models = apps.get_models(include_auto_created=True)
    return tuple(connection.ops.sequence_reset_sql(no_style(), models))


def reset_sequences():
    """Sets each table's next id after its highest one. SQLite's ids go back
    with a rollback, PostgreSQL's sequences do not: without this, the same
    write made twice (plain DRF, then quorvel_core) gets two ids, and a test
    its rows' ids from the tests before it."""
    if connection.vendor != "postgresql":
        return
    with connection.cursor() as cursor:
        for sql in _sequence_sql():
            cursor.execute(sql)


@contextmanager
def rolled_back():
    """A block whose writes, and the ids they took, are undone afterwards."""
    with transaction.atomic():
        yield
        transaction.set_rollback(True)
    reset_sequences()


def respond(client, method, url, **kwargs):
    """Status, headers and body of one request, its writes rolled back."""
    with rolled_back():
        answer = getattr(client, method)(url, **kwargs)
    return answer.status_code, sorted(answer.items()), answer.content


def assert_responses_are_drfs(exchange, status):
    """`exchange(prefix)` gives the same status, headers and bytes through
    plain DRF, through DRF's classes with install() on, and through
    quorvel_core's own classes (mounted under /fast)."""
    with installed(False):
        expected = exchange("/drf")
    with installed(True):
        everywhere = exchange("/drf")
    own_classes = exchange("/fast")
    assert expected[0] == status, expected[2]
    assert everywhere == expected
    assert own_classes == expected
