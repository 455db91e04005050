"""The Python side of the native loops: the hooks handed to `configure()`.

Each hook reproduces one piece of DRF's own code exactly, so that whatever the
native loops hand back to Python ends the way DRF would have ended it.
"""

import threading

from django.core.exceptions import ObjectDoesNotExist
from django.core.exceptions import ValidationError as DjangoValidationError
from django.db.models.manager import BaseManager
from rest_framework.exceptions import ValidationError
from rest_framework.fields import (
    BuiltinSignatureError, SkipField, empty, get_error_detail, is_simple_callable,
)
from rest_framework.relations import PKOnlyObject

from . import _quorvel_core as native

STATUS_OK = native.STATUS_OK
STATUS_SKIP = native.STATUS_SKIP
STATUS_ERROR = native.STATUS_ERROR

_SKIPPED = (STATUS_SKIP, None)


def resolve_callable(value, name):
    """What DRF's `get_attribute` does with a callable attribute `name`: calls it
    when it takes no arguments, returns it unchanged otherwise. A built-in that
    cannot be inspected raises DRF's `BuiltinSignatureError`, which
    `source_failed` hands to the field's own `get_attribute` to report."""
    if not is_simple_callable(value):
        return value
    try:
        return value()
    except (AttributeError, KeyError) as exc:
        # Same wording as DRF, so that the error cannot pass for a missing attribute.
        raise ValueError(
            f'Exception raised in callable attribute "{name}"; original exception was: {exc}'
        )


def source_failed(field, instance, raised):
    """What DRF's `Field.get_attribute(instance)` makes of `raised`, raised while
    the native chain walked the field's source as DRF's `get_attribute` walks
    it. The source is not walked again, so a property or method on it runs
    once, as in DRF; the wording is DRF's (the same in every release that
    quorvel_core supports)."""
    try:
        raise raised
    except BuiltinSignatureError:
        # Nothing on the chain failed: a built-in could not be inspected, which
        # DRF words with its serializer's name. Its own walk says it.
        return field.get_attribute(instance)
    except (KeyError, AttributeError) as exc:
        if field.default is not empty:
            return field.get_default()
        if field.allow_null:
            return None
        if not field.required:
            raise SkipField()
        msg = (
            'Got {exc_type} when attempting to get a value for field '
            '`{field}` on serializer `{serializer}`.\nThe serializer '
            'field might be named incorrectly and not match '
            'any attribute or key on the `{instance}` instance.\n'
            'Original exception text was: {exc}.'.format(
                exc_type=type(exc).__name__,
                field=field.field_name,
                serializer=field.parent.__class__.__name__,
                instance=instance.__class__.__name__,
                exc=exc
            )
        )
        raise type(exc)(msg)
    finally:
        # The exception's traceback holds this frame: no cycle back to it.
        raised = None


def run_field(field, data, validate_method):
    """One turn of `Serializer.to_internal_value`'s field loop, as DRF runs it.
    Reading the value stays outside the try block, as in DRF: an exception
    there is not a validation error."""
    return _complete(field, field.get_value(data), validate_method, _CONVERT)


def finish_field(field, value, validate_method, run_validators):
    """The rest of that loop turn once the native code has produced the field's
    internal value: the field's validators when asked, then the method."""
    return _complete(field, value, validate_method, _CHECK if run_validators else None)


# What _complete does to the value before the `validate_<name>` method.
_CONVERT = "convert"  # the field's whole run_validation
_CHECK = "check"      # only the field's validators


def _complete(field, value, validate_method, step):
    """Runs `step` and the method, turning DRF's and Django's validation errors
    and SkipField into outcome tuples, as DRF's loop treats them."""
    try:
        if step is _CONVERT:
            value = field.run_validation(value)
        elif step is _CHECK:
            field.run_validators(value)
        if validate_method is not None:
            value = validate_method(value)
    except ValidationError as exc:
        return (STATUS_ERROR, exc.detail)
    except DjangoValidationError as exc:
        return (STATUS_ERROR, get_error_detail(exc))
    except SkipField:
        return _SKIPPED
    return (STATUS_OK, value)


_configure_lock = threading.Lock()


def configure_native():
    """Hands DRF's and Django's objects and the hooks to the native module.
    The native configuration belongs to the process and is set once, so this
    does nothing when it is already set (a re-import, or another import of the
    extension). Returns whether this call configured it."""
    with _configure_lock:
        if native.is_configured():
            return False
        native.configure(
            empty=empty,
            skip_field=SkipField,
            object_does_not_exist=ObjectDoesNotExist,
            pk_only_object=PKOnlyObject,
            # DRF's list serializer tests against BaseManager: managers built with
            # BaseManager.from_queryset() are not Manager instances.
            manager_class=BaseManager,
            # Serializer.to_representation and to_internal_value build plain dicts.
            dict_factory=dict,
            resolve_callable=resolve_callable,
            run_field=run_field,
            finish_field=finish_field,
            source_failed=source_failed,
        )
        return True
