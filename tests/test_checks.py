"""The system checks of the app's settings, as `manage.py check` runs them."""

import pytest
from django.conf import settings
from django.core import checks
from django.test import override_settings

from quorvel_core.checks import install_requested, orm_requested

APPS = [a for a in settings.INSTALLED_APPS]


@pytest.mark.parametrize("overrides, ids", [
    ({}, []),
    ({"QUORVEL_CORE_INSTALL": True}, []),
    ({"QUORVEL_CORE_INSTALL": "false"}, ["quorvel_core.E001"]),
    ({"QUORVEL_CORE_INSTALL": 1}, ["quorvel_core.E001"]),
    ({"REST_FRAMEWORK": {"QUORVEL_CORE_INSTALL": True}}, ["quorvel_core.W001"]),
    ({"QUORVEL_CORE_ORM": False}, []),
    ({"QUORVEL_CORE_ORM": "no"}, ["quorvel_core.E003"]),
    ({"REST_FRAMEWORK": {"QUORVEL_CORE_ORM": False}}, ["quorvel_core.W001"]),
    ({"INSTALLED_APPS": [a for a in APPS if a != "rest_framework"]}, ["quorvel_core.E002"]),
])
def test_settings_checks(overrides, ids):
    with override_settings(**overrides):
        found = [m for m in checks.run_checks() if m.id.startswith("quorvel_core.")]
        assert [m.id for m in found] == ids
        for message in found:
            assert message.hint  # each says what to change


@pytest.mark.parametrize("value, requested", [(True, True), (False, False), ("false", False),
                                              ("True", False), (1, False)])
def test_only_true_asks_for_acceleration(value, requested):
    with override_settings(QUORVEL_CORE_INSTALL=value):
        assert install_requested() is requested


@pytest.mark.parametrize("value, requested", [(None, True), (True, True), (False, False), (0, False)])
def test_only_true_builds_instances_natively(value, requested):
    overrides = {} if value is None else {"QUORVEL_CORE_ORM": value}
    with override_settings(**overrides):
        assert orm_requested() is requested


def test_messages_name_the_setting_and_the_value():
    with override_settings(QUORVEL_CORE_INSTALL="false"):
        (error,) = [m for m in checks.run_checks() if m.id == "quorvel_core.E001"]
    assert str(error) == ("?: (quorvel_core.E001) QUORVEL_CORE_INSTALL must be True or False, "
                          "not 'false'.\n\tHINT: Set QUORVEL_CORE_INSTALL = True to switch "
                          "acceleration on, or False (or remove it) to keep it off. "
                          "Acceleration stays off until then.")
