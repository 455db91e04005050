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
