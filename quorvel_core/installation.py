"""The process-wide mode: DRF's own classes run the native code.

`install()` puts the accelerated methods on DRF's `Serializer`
(`to_representation`, `to_internal_value`, `_read_only_defaults`), `ModelSerializer`
(`get_validators`), `ListSerializer` (`to_representation`,
`to_internal_value`), `JSONRenderer` (`render`) and `JSONParser` (`parse`), and
the serializer module's `raise_errors_on_nested_writes`, so
that every serializer, renderer and parser in the process that inherits those
methods runs them (`quorvel_core.serializers` says where the compiled loops
run); a class that overrides one keeps its own. Each accelerated method gives
DRF's answer and falls back to DRF's method where it cannot. `uninstall()` puts
DRF's methods back. Both are idempotent and may be called from any thread.
"""

import threading

from rest_framework import parsers as drf_parsers
from rest_framework import renderers as drf_renderers

from . import parsers, renderers, serializers

__all__ = ["install", "is_installed", "uninstall"]

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

for _entry in _METHODS:
    _entry[3].__doc__ = _entry[2].__doc__
del _entry

_lock = threading.Lock()
_installed = False


def install():
    """Switches DRF's classes to the native code. Returns False when it already was.
    A method that something else has replaced on DRF's class is left alone."""
    return _switch(True)


def uninstall():
    """Puts DRF's own methods back. Returns False when they already were."""
    return _switch(False)


def _switch(on):
    global _installed
    with _lock:
        if _installed == on:
            return False
        for cls, name, drf, accelerated in _METHODS:
            current, wanted = (drf, accelerated) if on else (accelerated, drf)
            if vars(cls).get(name) is current:
                setattr(cls, name, wanted)
        _installed = on
        return True


def is_installed():
    return _installed
