from django.apps import AppConfig


class PgShopConfig(AppConfig):
    name = "tests.project.pgshop"
    label = "pgshop"
