"""DRF's JSON renderer, with the native encoder doing the work."""

from rest_framework import renderers
from rest_framework.utils import encoders

from ._quorvel_core import JsonFallback, to_json

# What DRF's encoder does with types JSON does not know (timedeltas, sets,
# querysets, lazy strings...); the native encoder calls it for exactly those.
_drf_default = encoders.JSONEncoder().default


class JSONRenderer(renderers.JSONRenderer):
    """Drop-in for `rest_framework.renderers.JSONRenderer`: same media type,
    settings and bytes. The native encoder answers only for the default encoder
    class without indentation; everything else, and every value the native
    encoder cannot reproduce exactly, goes through DRF's own code."""

    def render(self, data, accepted_media_type=None, renderer_context=None):
        rendered = render_json(self, data, accepted_media_type, renderer_context)
        if rendered is None:
            return super().render(data, accepted_media_type, renderer_context)
        return rendered


def render_json(renderer, data, accepted_media_type, renderer_context):
    """The bytes DRF's JSONRenderer.render gives for the same call, or None
    where DRF's own code must run: another encoder class, an indent, or a value
    the native encoder cannot reproduce exactly."""
    if data is None:
        return b""
    if type(renderer).encoder_class is encoders.JSONEncoder:
        if renderer.get_indent(accepted_media_type, renderer_context or {}) is None:
            try:
                return to_json(
                    data,
                    ensure_ascii=bool(renderer.ensure_ascii),
                    compact=bool(renderer.compact),
                    allow_nan=not renderer.strict,
                    default=_drf_default,
                )
            except JsonFallback:
                pass
    return None
