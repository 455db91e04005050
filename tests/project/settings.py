"""A minimal Django project for the test suite: one app, SQLite in memory."""

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
DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
ROOT_URLCONF = "tests.project.urls"
MIDDLEWARE = []
REST_FRAMEWORK = {"UNAUTHENTICATED_USER": None}
