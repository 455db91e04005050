"""The Django app: with `"quorvel_core"` in `INSTALLED_APPS` and the setting
`QUORVEL_CORE_INSTALL = True`, the process-wide mode (`install()`) is switched
on while Django starts."""

from django.apps import AppConfig
from django.conf import settings

SETTING = "QUORVEL_CORE_INSTALL"


class QuorvelCoreConfig(AppConfig):
    name = "quorvel_core"
    verbose_name = "quorvel_core"

    def ready(self):
        if getattr(settings, SETTING, False):
            from .installation import install

            install()
