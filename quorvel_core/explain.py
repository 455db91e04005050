"""A readable account of what the compiler chose for each field.

    >>> print(explain(BookSerializer(book)))

One table per serializer (nested ones included), each after a line that says
whether the class's plans are shared by all its instances or, and why, compiled
per instance, and for a ModelSerializer whether querysets build its model's
instances natively or, and why, in Django; one row per field: the value
access and representation of its read side, the validator kind of its write
side, and whether Python runs its validators after the native kind ("python")
or the native kind covers them ("native"). "python" in the get, repr or val
column means that DRF's own code runs that part of the field; "-" marks a side
the field does not have.
"""

from typing import NamedTuple

from rest_framework import serializers as drf_serializers

from . import plans, schema


class Row(NamedTuple):
    """One field of a table: the kinds of its read side (value access and
    representation), of its write side, and who runs its validators."""

    field: str
    get: str
    repr: str
    val: str
    validators: str


_HEADER = Row(*Row._fields)


def explain(serializer):
    """The tables as text, nested serializers after their parent."""
    return "\n\n".join(_block_text(block) for block in blocks(serializer))


class Block:
    """One serializer of the tree: its title, its class's plans, which sides
    its class keeps in DRF, and one `Row` per field."""

    def __init__(self, title, serializer, read_in_drf, write_in_drf, rows):
        self.title = title
        self.plans = _plans_line(serializer)
        self.model, self.model_reason = _model_of(serializer)
        self.read_in_drf = read_in_drf
        self.write_in_drf = write_in_drf
        self.rows = rows


def blocks(serializer, title=None, outer=()):
    """The blocks of `serializer` and its nested serializers, parents first.
    A serializer nested in itself is shown once: further in, DRF's own field
    runs it (see schema.Walk). `outer` holds the classes shown further out."""
    title = title or type(serializer).__name__
    if isinstance(serializer, drf_serializers.ListSerializer):
        serializer = serializer.child
        title += " (many)"
    walk = schema.Walk()
    read = walk.compiled_side(serializer, read=True)
    write = walk.compiled_side(serializer, read=False)
    rows = _rows(read.describe()["read"] if read is not None else {},
                 write.describe()["write"] if write is not None else {})
    yield Block(title, serializer, read is None, write is None, rows)
    outer = outer + (type(serializer),)
    if len(outer) >= schema.MAX_NESTING:
        return
    for name, field in getattr(serializer, "fields", {}).items():
        if (isinstance(field, drf_serializers.BaseSerializer)
                and type(_child(field)) not in outer):
            yield from blocks(field, f"{title}.{name}: {type(_child(field)).__name__}", outer)


def _block_text(block):
    lines = [block.title, "  " + block.plans]
    if block.model is not None:
        lines.append("  " + _model_line(block))
    if block.read_in_drf:
        lines.append("  read side runs in DRF: the serializer class overrides it")
    if block.write_in_drf:
        lines.append("  write side runs in DRF: the serializer class overrides it")
    lines.extend(_table(block.rows))
    return "\n".join(lines)


def _plans_line(serializer):
    cls = type(serializer)
    reason = plans.reuse_reason(cls)
    if reason is None:
        return f"plans: compiled once for {cls.__name__}, shared by all its instances"
    return f"plans: compiled per instance, since {reason}"


def _model_of(serializer):
    """The model a ModelSerializer reads, and why the native row loop does not
    build its instances (None when it does)."""
    model = getattr(getattr(serializer, "Meta", None), "model", None)
    if not isinstance(serializer, drf_serializers.ModelSerializer) or not isinstance(model, type):
        return None, None
    from . import rows

    return model, rows.model_report(model)


def _model_line(block):
    name = block.model.__name__
    if block.model_reason is None:
        return f"instances: {name} rows are built natively"
    return f"instances: {name} rows are built by Django, since {block.model_reason}"


def _child(field):
    return field.child if isinstance(field, drf_serializers.ListSerializer) else field


def _rows(read, write):
    """The rows of the fields `describe()` gives for each side, read fields
    first."""
    rows = []
    for name in dict.fromkeys([*read, *write]):
        get, repr_ = read.get(name, ("-", "-"))
        val, python_validators = write.get(name, ("-", False))
        if name not in write or val == "python":
            validators = "-"
        else:
            validators = "python" if python_validators else "native"
        rows.append(Row(name, get, repr_, val, validators))
    return rows


def _table(rows):
    table = [_HEADER] + rows
    widths = [max(len(row[i]) for row in table) for i in range(len(_HEADER))]
    return ["  " + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
            for row in table]
