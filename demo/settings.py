"""The demo project: quorvel_core is one app and one setting away."""

import os
from pathlib import Path

HERE = Path(__file__).resolve().parent

SECRET_KEY = "demo-only"
DEBUG = False
ALLOWED_HOSTS = ["127.0.0.1", "localhost", "testserver"]
USE_TZ = True
TIME_ZONE = "Europe/Paris"
INSTALLED_APPS = [
    "django.contrib.contenttypes",
    "django.contrib.auth",
    "django.contrib.staticfiles",
    "rest_framework",
    "quorvel_core",
    "demo.shop",
]
# The comparison switches the process-wide mode itself; `--serve` turns it on.
QUORVEL_CORE_INSTALL = False
DATABASE_FILE = HERE / "demo.sqlite3"
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": DATABASE_FILE}}
# make test-postgres: the server whose socket directory is QUORVEL_POSTGRES_HOST.
if os.environ.get("QUORVEL_DATABASE") == "postgres":
    DATABASE_FILE = None
    DATABASES = {"default": {
        "ENGINE": "django.db.backends.postgresql", "HOST": os.environ["QUORVEL_POSTGRES_HOST"],
        "NAME": os.environ.get("QUORVEL_POSTGRES_DB", "quorvel_demo"), "USER": "postgres",
    }}
ROOT_URLCONF = "demo.urls"
MIDDLEWARE = ["django.middleware.common.CommonMiddleware"]
TEMPLATES = [{"BACKEND": "django.template.backends.django.DjangoTemplates", "APP_DIRS": True}]
STATIC_URL = "static/"
REST_FRAMEWORK = {"UNAUTHENTICATED_USER": None}
