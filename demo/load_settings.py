"""Settings for `make load`'s servers: the demo project on a database file of
the run's own, with quorvel_core switched on or not by the environment.

    QUORVEL_LOAD_DB       the SQLite file this server uses
    QUORVEL_LOAD_INSTALL  "1": quorvel_core.install() while Django starts
"""

import os
from pathlib import Path

from .settings import *  # noqa: F403

DATABASE_FILE = Path(os.environ["QUORVEL_LOAD_DB"])
# A throwaway copy: no need to wait for the disk at every commit.
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": DATABASE_FILE,
                         "OPTIONS": {"init_command": "PRAGMA synchronous=OFF"}}}
QUORVEL_CORE_INSTALL = os.environ.get("QUORVEL_LOAD_INSTALL") == "1"

# With DEBUG off Django prints nothing for a 500; the server log should say why.
LOGGING = {
    "version": 1,
    "disable_existing_loggers": False,
    "handlers": {"stderr": {"class": "logging.StreamHandler"}},
    "loggers": {"django.request": {"handlers": ["stderr"], "level": "ERROR", "propagate": False}},
}
