"""Django system checks for the project's settings (`manage.py check`)."""

from django.conf import settings
from django.core import checks

SETTING = "QUORVEL_CORE_INSTALL"
# False keeps Django's own ModelIterable while the serializers are accelerated.
ORM_SETTING = "QUORVEL_CORE_ORM"


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
    orm = getattr(settings, ORM_SETTING, True)
    if type(orm) is not bool:
        errors.append(checks.Error(
            f"{ORM_SETTING} must be True or False, not {orm!r}.",
            hint=f"Set {ORM_SETTING} = False to keep Django's own code building model "
                 "instances, or True (or remove it) to build them natively. Until then "
                 "they are built by Django.",
            id="quorvel_core.E003",
        ))
    drf_settings = getattr(settings, "REST_FRAMEWORK", None)
    for name in (SETTING, ORM_SETTING):
        if isinstance(drf_settings, dict) and name in drf_settings:
            errors.append(checks.Warning(
                f"{name} inside REST_FRAMEWORK has no effect.",
                hint=f"Move it out of REST_FRAMEWORK: {name} is a setting of its own.",
                id="quorvel_core.W001",
            ))
    if "rest_framework" not in settings.INSTALLED_APPS:
        errors.append(checks.Error(
            "quorvel_core accelerates Django REST Framework, which is not in INSTALLED_APPS.",
            hint="Add 'rest_framework' to INSTALLED_APPS, before 'quorvel_core'.",
            id="quorvel_core.E002",
        ))
    return errors


def orm_requested():
    """Whether install() should also build model instances natively: only a
    real True (the default) does, so a mistyped value leaves Django's code."""
    return getattr(settings, ORM_SETTING, True) is True


def install_requested():
    """Whether the setting asks for acceleration: only a real True does, so a
    mistyped value (the string "false") never switches it on."""
    return getattr(settings, SETTING, False) is True
