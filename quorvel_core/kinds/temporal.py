"""DateField, TimeField, DateTimeField and DurationField.

Dates, times and datetimes are native only in ISO 8601: represented when the
field's `format` (or DATE_FORMAT / TIME_FORMAT / DATETIME_FORMAT) is ISO 8601,
and a DateField or DateTimeField validated when its `input_formats` (or the
*_INPUT_FORMATS setting) hold nothing but ISO 8601. A DateTimeField's value
goes through enforce_timezone on both sides, so its plan carries the zone rule
(`datetime_zone`). A DurationField without a format is represented as the
timedelta itself; every other duration, and every TimeField or DurationField
input, stays with DRF.
"""

from django.conf import settings
from rest_framework import ISO_8601
from rest_framework.settings import DEFAULTS, api_settings

from .bounds import _none, _uncovered

# DurationField's format came with DRF 3.17: a kind stands in only for what the
# installed release does.
DURATION_FORMATS = "DURATION_FORMAT" in DEFAULTS


def _is_iso(output_format):
    return isinstance(output_format, str) and output_format.lower() == ISO_8601


def _iso_only(formats):
    return isinstance(formats, (list, tuple)) and len(formats) > 0 and all(map(_is_iso, formats))


def datetime_zone(field):
    """The time-zone rule of DateTimeField.enforce_timezone: the field's own zone,
    the zone current at the call (USE_TZ), or none."""
    if hasattr(field, "timezone"):
        zone = field.timezone
        return {"timezone": zone} if zone is not None else {"use_tz": False}
    return {"use_tz": bool(settings.USE_TZ)}


def _repr_date(field, nested):
    if _is_iso(getattr(field, "format", api_settings.DATE_FORMAT)):
        return {"type": "date"}
    return None


def _repr_time(field, nested):
    if _is_iso(getattr(field, "format", api_settings.TIME_FORMAT)):
        return {"type": "time"}
    return None


def _repr_datetime(field, nested):
    if not _is_iso(getattr(field, "format", api_settings.DATETIME_FORMAT)):
        return None
    plan = {"type": "datetime"}
    plan.update(datetime_zone(field))
    return plan


def _repr_duration(field, nested):
    # Without a format DRF returns the timedelta itself; unlike the date kinds
    # there is no test of the value's truth first. A release without formats
    # always writes Django's text, which stays with DRF.
    if DURATION_FORMATS and getattr(field, "format", api_settings.DURATION_FORMAT) is None:
        return {"type": "passthrough"}
    return None


def _val_date(field, nested):
    if not _iso_only(getattr(field, "input_formats", api_settings.DATE_INPUT_FORMATS)):
        return None
    return {"type": "date"}, _uncovered(field, _none)


def _val_datetime(field, nested):
    if not _iso_only(getattr(field, "input_formats", api_settings.DATETIME_INPUT_FORMATS)):
        return None
    plan = {"type": "datetime"}
    plan.update(datetime_zone(field))
    return plan, _uncovered(field, _none)
