"""The process-wide mode: DRF's own classes run the native code.

`install()` puts the accelerated methods on DRF's `Serializer`
(`to_representation`, `to_internal_value`, `_read_only_defaults`), `ModelSerializer`
(`get_validators`), `ListSerializer` (`to_representation`,
`to_internal_value`), `JSONRenderer` (`render`) and `JSONParser` (`parse`), and
the serializer module's `raise_errors_on_nested_writes`, so
that every serializer, renderer and parser in the process that inherits those
methods runs them (`quorvel_core.serializers` says where the compiled loops
run); a class that overrides one keeps its own. Each accelerated method gives
DRF's answer and falls back to DRF's method where it cannot. Unless asked not
to (`install(orm=False)`), it also puts the native row loop on Django's
`ModelIterable` (`quorvel_core.rows`). `uninstall()` puts DRF's and Django's
methods back. Both are idempotent and may be called from any thread.
"""

import threading
from collections.abc import Callable
from typing import Any

from rest_framework import parsers as drf_parsers
from rest_framework import renderers as drf_renderers

from . import parsers, prefetch, renderers, rows, serializers

__all__ = ["install", "is_installed", "is_orm_installed", "uninstall"]

DRF_RENDER = vars(drf_renderers.JSONRenderer)["render"]


def installed_render(self, data, accepted_media_type=None, renderer_context=None):
    rendered = renderers.render_json(self, data, accepted_media_type, renderer_context)
    if rendered is None:
        return DRF_RENDER(self, data, accepted_media_type, renderer_context)
    return rendered


def installed_parse(self, stream, media_type=None, parser_context=None):
    return parsers.parse_json(self, stream, media_type, parser_context, parsers.DRF_PARSE)


# (class or module, attribute, DRF's function, the accelerated one)
_METHODS = serializers.INSTALLED_METHODS + [
    (drf_renderers.JSONRenderer, "render", DRF_RENDER, installed_render),
    (drf_parsers.JSONParser, "parse", parsers.DRF_PARSE, installed_parse),
]

# Django's own loop and prefetch level only: a wrapper already on either when
# quorvel_core is imported (a profiler's, an N+1 detector's) stays, and runs.
_ORM_METHODS: list[tuple[Any, str, Any, Callable[..., Any]]] = []
if rows.MODEL_ITER_IS_DJANGOS:
    _ORM_METHODS.append((rows.ModelIterable, "__iter__", rows.DJANGO_MODEL_ITER,
                         rows.model_iterable_iter))
if prefetch.DJANGO_PREFETCH_ONE_LEVEL is not None:
    _ORM_METHODS.append((prefetch.django_query, "prefetch_one_level",
                         prefetch.DJANGO_PREFETCH_ONE_LEVEL, prefetch.prefetch_one_level))

for _entry in _METHODS + _ORM_METHODS:
    _entry[3].__doc__ = _entry[2].__doc__
del _entry

_lock = threading.Lock()
_installed = False
_orm_installed = False


def install(orm=True):
    """Switches DRF's classes, and with `orm` Django's ModelIterable, to the
    native code. Returns False when nothing changed. A method that something
    else has replaced on DRF's or Django's class is left alone."""
    global _installed, _orm_installed
    with _lock:
        changed = False
        if not _installed:
            _switch(_METHODS, True)
            _installed = changed = True
        if orm and not _orm_installed:
            _switch(_ORM_METHODS, True)
            rows.installed(True)
            _orm_installed = changed = True
        return changed


def uninstall():
    """Puts DRF's and Django's own methods back. Returns False when they already were."""
    global _installed, _orm_installed
    with _lock:
        changed = _installed or _orm_installed
        if _installed:
            _switch(_METHODS, False)
        if _orm_installed:
            _switch(_ORM_METHODS, False)
            rows.installed(False)
        _installed = _orm_installed = False
        return changed


def _switch(methods, on):
    for cls, name, original, accelerated in methods:
        current, wanted = (original, accelerated) if on else (accelerated, original)
        if vars(cls).get(name) is current:
            setattr(cls, name, wanted)


def is_installed():
    return _installed


def is_orm_installed():
    """Whether querysets build their instances in the native row loop."""
    return _orm_installed
