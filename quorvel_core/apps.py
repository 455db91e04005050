"""The Django app: with `"quorvel_core"` in `INSTALLED_APPS` and the setting
`QUORVEL_CORE_INSTALL = True`, the process-wide mode (`install()`) is switched
on while Django starts; `QUORVEL_CORE_ORM = False` leaves Django's own code
building model instances. `manage.py check` reports settings that look meant
for it but are not what it reads."""

from django.apps import AppConfig
from django.core import checks

from .checks import check_settings, install_requested, orm_requested


class QuorvelCoreConfig(AppConfig):
    name = "quorvel_core"
    verbose_name = "quorvel_core"

    def ready(self):
        checks.register(check_settings, checks.Tags.compatibility)
        if install_requested():
            from .installation import install

            install(orm=orm_requested())
