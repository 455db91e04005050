"""Shared by the drop-in tests."""

from contextlib import contextmanager

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
