"""Django system checks for the project's settings (`manage.py check`)."""

from django.conf import settings
from django.core import checks

SETTING = "QUORVEL_CORE_INSTALL"


def check_settings(app_configs=None, **kwargs):
    errors = []
    value = getattr(settings, SETTING, False)
    if type(value) is not bool:
        errors.append(checks.Error(
            f"{SETTING} must be True or False, not {value!r}.",
            hint=f"Set {SETTING} = True to switch acceleration on, or False (or remove it) "
                 "to keep it off. Acceleration stays off until then.",
            id="quorvel_core.E001",
        ))
    drf_settings = getattr(settings, "REST_FRAMEWORK", None)
    if isinstance(drf_settings, dict) and SETTING in drf_settings:
        errors.append(checks.Warning(
            f"{SETTING} inside REST_FRAMEWORK has no effect.",
            hint=f"Move it out of REST_FRAMEWORK: {SETTING} is a setting of its own.",
            id="quorvel_core.W001",
        ))
    if "rest_framework" not in settings.INSTALLED_APPS:
        errors.append(checks.Error(
            "quorvel_core accelerates Django REST Framework, which is not in INSTALLED_APPS.",
            hint="Add 'rest_framework' to INSTALLED_APPS, before 'quorvel_core'.",
            id="quorvel_core.E002",
        ))
    return errors


def install_requested():
    """Whether the setting asks for acceleration: only a real True does, so a
    mistyped value (the string "false") never switches it on."""
    return getattr(settings, SETTING, False) is True
