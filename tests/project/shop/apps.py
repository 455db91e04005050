from django.apps import AppConfig


class ShopConfig(AppConfig):
    name = "tests.project.shop"
    label = "shop"
