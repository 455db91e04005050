from django.apps import AppConfig


class ShopConfig(AppConfig):
    name = "demo.shop"
    label = "shop"
    default_auto_field = "django.db.models.BigAutoField"
