"""What a decision about classes read, and whether it still holds.

The companion decides once what a serializer class, a field class or a model
allows (shared plans, field kinds, access plans) and keeps the answer. Test
suites and projects change classes after their first use (`mock.patch.object`
on a method or on `Meta.fields`, an entry added to `_declared_fields`), and
DRF reads whatever the class holds at that moment, so a kept answer counts only
while everything it was made from is unchanged. A `Snapshot` tells that:

- the dicts read (each class's own `__dict__` along its bases, DRF's
  `_declared_fields` and `serializer_field_mapping`, a `Meta`'s dicts) are
  watched by the native module, which counts their changes: setting or
  deleting an attribute of a class or of one of its bases, `mock.patch`
  included, moves the count, so a count unchanged since the decision proves
  that every attribute lookup on those classes still finds the same object;
- lists, tuples and sets read in place (`Meta.fields`, `exclude`, ...) are
  copied, and compared with their copy, which for unchanged items is an
  identity test.

A check costs one native call and one comparison per list.
"""

from . import _quorvel_core as native

__all__ = ["Guard", "Recorder", "Snapshot", "kept"]

_CONTAINERS = (list, dict, set, tuple)


def _copy(value):
    """A copy of `value` in which every container is new and every other
    object the same, so that `value == copy` fails for any change inside."""
    kind = type(value)
    if kind is dict:
        return {key: _copy(item) for key, item in value.items()}
    if kind is list or kind is tuple or kind is set:
        return kind(_copy(item) for item in value)
    return value


class Snapshot:
    """The state of what a Recorder collected, at the moment it started."""

    __slots__ = ("_count", "_sequences", "_copies")

    def __init__(self, count, sequences):
        self._count = count
        # The sequences and their copies, in two tuples that one comparison
        # (a loop in C) sets side by side.
        pairs = tuple(sequences)
        self._sequences = tuple(value for value, _ in pairs)
        self._copies = tuple(copy for _, copy in pairs)

    def holds(self):
        """Whether nothing recorded has changed since."""
        return native.changes() == self._count and self._sequences == self._copies


class Recorder:
    """Collects what a decision reads, while it reads it, then makes its
    Snapshot. The count is taken first and each dict is watched when it is
    recorded, so a change made after the decision read something is seen."""

    __slots__ = ("_count", "_sequences")

    def __init__(self):
        self._count = native.changes()
        self._sequences = {}

    def add_class(self, cls):
        """A class, with its bases."""
        native.watch((cls,))

    def add_container(self, value):
        """A dict (and the containers in it), list, tuple or set read in place."""
        kind = type(value)
        if kind is dict:
            native.watch((value,))
            for item in value.values():
                if type(item) in _CONTAINERS:
                    self.add_container(item)
        elif kind in _CONTAINERS:
            self._sequences[id(value)] = (value, _copy(value))

    def add_attributes(self, obj, read_in_place=()):
        """An object's own attributes, and those of its containers that are
        read in place, by name: the others are only ever replaced."""
        own = getattr(obj, "__dict__", None)
        if type(own) is dict:
            native.watch((own,))
            for name in read_in_place:
                self.add_container(own.get(name))

    def add_meta(self, meta):
        """A `Meta` class: its own dict and every container among its
        attributes (`fields`, `exclude`, `extra_kwargs`, `read_only_fields`, ...)."""
        self.add_class(meta)
        for name in dir(meta):
            if not name.startswith("__"):
                self.add_container(getattr(meta, name, None))

    def snapshot(self):
        return Snapshot(self._count, self._sequences.values())


def kept(cache, key, decide):
    """`decide(recorder)`, kept in `cache[key]` while what it recorded on
    `recorder` holds, and decided again once it does not."""
    entry = cache.get(key)
    if entry is not None and entry[1].holds():
        return entry[0]
    recorder = Recorder()
    value = decide(recorder)
    cache[key] = (value, recorder.snapshot())
    return value


class Guard:
    """A check of objects that live in dicts (class or module attributes),
    run again only once one of those dicts has changed since it last held:
    `watched()` gives the classes and dicts to watch (None: watch nothing and
    check every time), `check()` whether the objects are as wanted."""

    __slots__ = ("_watched", "_check", "_count")

    def __init__(self, watched, check):
        self._watched, self._check, self._count = watched, check, None

    def holds(self):
        count = native.changes()
        if count == self._count:
            return True
        watched = self._watched()
        if watched is not None:
            native.watch(watched)  # before the check, so that no change is missed
            count = native.changes()
        if not self._check():
            return False
        if watched is not None:
            self._count = count
        return True
