"""Django settings of the benchmark project: its own app, and the demo's shop
for the ORM cases that run the demo's querysets; SQLite in memory."""

SECRET_KEY = "bench-only"
DEBUG = False
ALLOWED_HOSTS = ["testserver"]
USE_TZ = True
TIME_ZONE = "UTC"
INSTALLED_APPS = [
    "django.contrib.contenttypes",
    "django.contrib.auth",
    "rest_framework",
    "bench.shop",
    "demo.shop",
]
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}}
DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
ROOT_URLCONF = "bench.urls"
MIDDLEWARE = []
REST_FRAMEWORK = {"UNAUTHENTICATED_USER": None}
