"""UUIDField.

Representation is native for the default "hex_verbose" format, DRF's
`str(value)`; the other formats (hex, int, urn) stay with DRF. Validation
matches to_internal_value: a UUID instance as it is, an int or text parsed
as DRF parses it, anything else refused with DRF's message.
"""

from .bounds import _none, _uncovered


def _repr_uuid(field, nested):
    return {"type": "uuid"} if field.uuid_format == "hex_verbose" else None


def _val_uuid(field, nested):
    return {"type": "uuid"}, _uncovered(field, _none)
