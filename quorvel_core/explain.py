"""A readable account of what the compiler chose for each field.

    >>> print(explain(BookSerializer(book)))

One table per serializer (nested ones included), each after a line that says
whether the class's plans are shared by all its instances or, and why, compiled
per instance; one row per field: the value
access and representation of its read side, the validator kind of its write
side, and whether Python runs its validators after the native kind ("python")
or the native kind covers them ("native"). "python" in the get, repr or val
column means that DRF's own code runs that part of the field; "-" marks a side
the field does not have.
"""

from rest_framework import serializers as s

from . import plans, schema

_HEADER = ("field", "get", "repr", "val", "validators")


def explain(serializer):
    """The tables as text, nested serializers after their parent."""
    blocks = []
    _explain(serializer, type(serializer).__name__, blocks)
    return "\n\n".join(blocks)


def _explain(serializer, title, blocks):
    if isinstance(serializer, s.ListSerializer):
        serializer = serializer.child
        title += " (many)"
    read_fields, write_fields = schema.build_schema(serializer)
    described = schema._construct(read_fields or [], write_fields or []).describe()
    rows = _rows(described)
    lines = [title, "  " + _plans_line(serializer)]
    if read_fields is None:
        lines.append("  read side runs in DRF: the serializer class overrides it")
    if write_fields is None:
        lines.append("  write side runs in DRF: the serializer class overrides it")
    lines.extend(_table(rows))
    blocks.append("\n".join(lines))
    for name, field in getattr(serializer, "fields", {}).items():
        if isinstance(field, s.BaseSerializer):
            _explain(field, f"{title}.{name}: {type(_child(field)).__name__}", blocks)


def _plans_line(serializer):
    cls = type(serializer)
    reason = plans.reuse_reason(cls)
    if reason is None:
        return f"plans: compiled once for {cls.__name__}, shared by all its instances"
    return f"plans: compiled per instance, since {reason}"


def _child(field):
    return field.child if isinstance(field, s.ListSerializer) else field


def _rows(described):
    rows = {}
    for name, (get, repr_) in described["read"].items():
        rows[name] = [name, get, repr_, "-", "-"]
    for name, (val, python_validators) in described["write"].items():
        row = rows.setdefault(name, [name, "-", "-", "-", "-"])
        row[3] = val
        if val != "python":
            row[4] = "python" if python_validators else "native"
    return list(rows.values())


def _table(rows):
    table = [_HEADER] + rows
    widths = [max(len(row[i]) for row in table) for i in range(len(_HEADER))]
    return ["  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
            for row in table]
