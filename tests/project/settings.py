"""A minimal Django project for the test suite: one app, SQLite in memory.

With QUORVEL_DATABASE=postgres (make test-postgres) the same project runs on
the PostgreSQL server whose socket directory is QUORVEL_POSTGRES_HOST, with
the app of the fields only PostgreSQL has (tests/project/pgshop).
"""

import os

SECRET_KEY = "tests-only"
DEBUG = False
USE_TZ = True
TIME_ZONE = "UTC"
INSTALLED_APPS = [
    "django.contrib.contenttypes",
    "django.contrib.auth",
    "rest_framework",
    "quorvel_core",
    "tests.project.shop",
]
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}}
if os.environ.get("QUORVEL_DATABASE") == "postgres":
    INSTALLED_APPS += ["django.contrib.postgres", "tests.project.pgshop"]
    DATABASES = {"default": {
        "ENGINE": "django.db.backends.postgresql", "HOST": os.environ["QUORVEL_POSTGRES_HOST"],
        "NAME": os.environ.get("QUORVEL_POSTGRES_DB", "quorvel_tests"), "USER": "postgres",
    }}
DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
ROOT_URLCONF = "tests.project.urls"
MIDDLEWARE = []
REST_FRAMEWORK = {"UNAUTHENTICATED_USER": None}
