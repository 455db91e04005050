import os

import django
import pytest

os.environ.setdefault("DJANGO_SETTINGS_MODULE", "tests.project.settings")
django.setup()


def pytest_addoption(parser):
    parser.addoption("--quorvel-install", action="store_true",
                     help="run the suite with quorvel_core.install() active")


def pytest_configure(config):
    # `make test-debug` names its build: the debug interpreter would also load
    # the checkout's release build if that came first on the path.
    expected = os.environ.get("QUORVEL_EXPECT_EXTENSION")
    if expected:
        from quorvel_core import _quorvel_core

        if _quorvel_core.__file__ != expected:
            raise pytest.UsageError(
                f"imported {_quorvel_core.__file__}, expected {expected}")
    if config.getoption("--quorvel-install"):
        import quorvel_core

        quorvel_core.install()


@pytest.fixture(scope="session")
def django_db_tables():
    """Creates the test apps' tables once in the test database."""
    from django.core.management import call_command

    call_command("migrate", run_syncdb=True, verbosity=0)


@pytest.fixture
def db(django_db_tables):
    """Each test runs inside a transaction that is rolled back afterwards."""
    from .dropin_support import reset_sequences, rolled_back

    reset_sequences()
    with rolled_back():
        yield


@pytest.fixture
def library(db):
    """The companion tests' rows of the shop app (companion_cases.fill_library)."""
    from .companion_cases import fill_library

    fill_library()
