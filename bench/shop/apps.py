from django.apps import AppConfig


class ShopConfig(AppConfig):
    name = "bench.shop"
    label = "benchshop"
