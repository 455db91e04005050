"""The database converters of a queryset's columns, as the native loop runs them.

`SQLCompiler.apply_converters` calls, for each converted column of each row,
`converter(value, expression, connection)` in turn. The backend's own
converters are recognised here by identity and run natively where the result
is certain to be the same (SQLite's datetimes, dates, booleans, decimals and
UUIDs); each of them still calls the Python converter for any value it does
not read natively (an unusual type, a text that `fromisoformat` refuses).
Every other converter (a field's `from_db_value`, JSON) is called as Python
from the loop.
"""

import datetime
import decimal
import enum
import sys
import threading
import uuid
from typing import Any, NamedTuple

import _datetime

import django
from django.conf import settings
from django.db.models.expressions import Col
from django.utils import dateparse, timezone

from .snapshot import Guard


def django_function(value, qualname):
    """`value` (a function, or a classmethod of one) where it is Django's own
    `qualname`; None for anything else. A wrapper made with functools.wraps
    copies a function's names, but not its code, whose own name is checked."""
    func = getattr(value, "__func__", value)
    code = getattr(func, "__code__", None)
    if (code is None or code.co_qualname != qualname or hasattr(func, "__wrapped__")
            or not getattr(func, "__module__", "").startswith("django.")):
        return None
    return value


def django_originals(places):
    """{(owner, name): Django's own function there as found on import, or None
    where a wrapper already stood} for each (owner, name) in `places`."""
    return {(owner, name): django_function(vars(owner).get(name), f"{owner.__name__}.{name}")
            for owner, name in places}


class Tally:
    """How many times a native path ran and how many times Django's own ran
    in its place, since the process started; safe from any thread."""

    def __init__(self):
        self._lock = threading.Lock()
        self._counts = {"native": 0, "django": 0}

    def counts(self):
        with self._lock:
            return dict(self._counts)

    def count(self, key):
        with self._lock:
            self._counts[key] += 1


def mro_lookup(cls, name):
    """What `name` is on `cls`, as found in its MRO's dicts (descriptors not
    called), or None."""
    for base in cls.__mro__:
        if name in vars(base):
            return vars(base)[name]
    return None


class Converter(enum.IntEnum):
    """How the native loop runs one converter (the same numbers in C++)."""
    PYTHON = 0
    SQLITE_DATETIME = 1  # extra: the tzinfo to make naive values aware in, or None
    SQLITE_DATE = 2
    SQLITE_BOOLEAN = 3
    SQLITE_DECIMAL = 4   # extra: (create_decimal, quantize_value, context, native arithmetic or None)
    SQLITE_UUID = 5


class Step(NamedTuple):
    kind: int
    extra: Any
    call: Any    # the converter itself, called for what the kind does not read


class ConverterPlan(NamedTuple):
    position: int
    expression: Any
    steps: tuple  # Step


def plan(compiler, converters):
    """The native plan of `compiler.get_converters(...)`: a ConverterPlan per column."""
    real = _converter_globals_real()
    return tuple(ConverterPlan._make((position, expression,
                                      tuple(_step(c, expression) if real else
                                            Step._make((Converter.PYTHON, None, c)) for c in convs)))
                 for position, (convs, expression) in converters.items())


# The steps of the backend's converter methods, by (function, operations,
# USE_TZ, the connection's zone): the same method of the same connection is
# a new bound method object in every query, and means the same.
_method_steps = {}


def _step(converter, expression):
    func = getattr(converter, "__func__", None)
    if func is None:
        return Step._make((*_kind(converter, expression), converter))
    ops = converter.__self__
    key = (func, ops, settings.USE_TZ, getattr(getattr(ops, "connection", None), "timezone", None)
           if func is _DATETIME_METHOD else None)
    step = _method_steps.get(key)
    if step is None:
        if len(_method_steps) > 256:
            _method_steps.clear()
        step = _method_steps[key] = Step._make((*_kind(converter, expression), converter))
    return step


def _sqlite_operations():
    try:
        from django.db.backends.sqlite3.operations import DatabaseOperations
    except ImportError:  # no sqlite3 module in this Python
        return None
    return DatabaseOperations


_SQLITE = _sqlite_operations()
# The decimal converter that quantizes a column, by the names its closure
# holds: 5.2 and 6.0 write `create_decimal(value).quantize(...)` with one
# 15-digit context's create_decimal_from_float for every value; 6.1 writes
# `self._create_decimal(value).quantize(...)`, which makes ints and strs
# exact and floats in a new 15-digit context each time.
_DECIMAL_CLOSURES = {(5, 2): ("create_decimal", "quantize_value"),
                     (6, 0): ("create_decimal", "quantize_value"),
                     (6, 1): ("quantize_value", "self")}


def _decimal_code():
    freevars = _DECIMAL_CLOSURES.get(tuple(django.VERSION[:2]))
    if _SQLITE is None or freevars is None:
        return None
    inner = [c for c in _SQLITE.get_decimalfield_converter.__code__.co_consts
             if hasattr(c, "co_freevars") and c.co_name == "converter"]
    quantizing = [c for c in inner if c.co_freevars == freevars]
    return quantizing[0] if len(quantizing) == 1 else None


_QUANTIZING_CODE = _decimal_code()
# 6.1's _create_decimal as Django defines it, and the template every new
# decimal.Context copies what it is not given from.
_CREATE_DECIMAL = None if _SQLITE is None else django_function(
    getattr(vars(_SQLITE).get("_create_decimal"), "__func__", None),
    "DatabaseOperations._create_decimal")
# The C decimal module that `decimal` is made of (None in a CPython built
# without it, where decimal is _pydecimal).
_C_DECIMAL = sys.modules.get("_decimal")
_DEFAULT_CONTEXT = getattr(_C_DECIMAL, "DefaultContext", None)


# The classes the native converters make. Django's converters look them up in
# their modules at each call, so a replacement (freezegun's, time-machine's)
# sends every value to Django's converter.
_UUID = uuid.UUID


# What the backend's converters call, looked up in their module (and in
# django.utils.timezone) at each call: replaced (a test's mock.patch), every
# value goes to the converter, which calls the replacement.
_OPERATIONS_GLOBALS = {
    "parse_datetime": django_function(dateparse.parse_datetime, "parse_datetime"),
    "parse_date": django_function(dateparse.parse_date, "parse_date"),
    "timezone": timezone, "datetime": datetime, "uuid": uuid,
}
_TIMEZONE_FUNCTIONS = {name: django_function(getattr(timezone, name), name)
                       for name in ("is_aware", "make_aware")}


def _operations_module():
    return sys.modules.get(_SQLITE.__module__) if _SQLITE is not None else None


def _globals_as_found():
    if not (datetime.datetime is _datetime.datetime and datetime.date is _datetime.date
            and uuid.UUID is _UUID):
        return False
    module = _operations_module()
    return module is None or (
        all(vars(module).get(name) is value for name, value in _OPERATIONS_GLOBALS.items())
        and all(vars(timezone).get(name) is value for name, value in _TIMEZONE_FUNCTIONS.items()))


def _globals_homes():
    module = _operations_module()
    return None if module is None else tuple(
        vars(home) for home in (module, timezone, datetime, uuid))


_GLOBALS_GUARD = Guard(_globals_homes, _globals_as_found)


def _converter_globals_real():
    return _GLOBALS_GUARD.holds()


def _method_kinds():
    """The SQLite backend's converter methods (Django's own, not wrapped) and
    how the loop runs each."""
    if _SQLITE is None:
        return {}
    kinds = {}
    for name, kind in (("convert_datetimefield_value", Converter.SQLITE_DATETIME),
                       ("convert_datefield_value", Converter.SQLITE_DATE),
                       ("convert_booleanfield_value", Converter.SQLITE_BOOLEAN),
                       ("convert_uuidfield_value", Converter.SQLITE_UUID)):
        func = django_function(vars(_SQLITE).get(name), f"DatabaseOperations.{name}")
        if func is not None:
            kinds[func] = kind
    return kinds


_METHOD_KINDS = _method_kinds()


_DATETIME_METHOD = None if _SQLITE is None else _SQLITE.convert_datetimefield_value


def _kind(converter, expression):
    """(kind, extra) of one converter."""
    func = getattr(converter, "__func__", None)
    if func is not None:
        kind = _METHOD_KINDS.get(func)
        ops = converter.__self__
        if kind is None or type(ops) is not _SQLITE or vars(_SQLITE).get(func.__name__) is not func:
            return Converter.PYTHON, None
        if kind != Converter.SQLITE_DATETIME:
            return kind, None
        use_tz = settings.USE_TZ
        if use_tz is True:
            return kind, ops.connection.timezone
        return (kind, None) if use_tz is False else (Converter.PYTHON, None)
    if (_QUANTIZING_CODE is not None and getattr(converter, "__code__", None) is _QUANTIZING_CODE
            and isinstance(expression, Col)):
        cells = dict(zip(_QUANTIZING_CODE.co_freevars, (c.cell_contents for c in converter.__closure__)))
        made = _decimal_maker(cells)
        if made is not None:
            field = expression.output_field
            create_decimal, plain, created_flags = made
            quantize_value = cells["quantize_value"]
            native = _native_decimal(quantize_value, field, created_flags) if plain else None
            return Converter.SQLITE_DECIMAL, (create_decimal, quantize_value, field.context, native)
    return Converter.PYTHON, None


def _decimal_maker(cells):
    """(what the converter makes its unquantized decimal with, whether the
    native arithmetic may stand in for it, the flags of the context that does
    so: None for a context no one sees again), or None where the converter is
    to be called as it is."""
    if "create_decimal" in cells:
        create_decimal = cells["create_decimal"]
        created_context = getattr(create_decimal, "__self__", None)
        plain = (getattr(create_decimal, "__name__", None) == "create_decimal_from_float"
                 and _plain_context(created_context, 15))
        return create_decimal, plain, created_context.flags if plain else None
    ops = cells["self"]
    found = getattr(vars(_SQLITE).get("_create_decimal"), "__func__", None)
    if (_CREATE_DECIMAL is None or found is not _CREATE_DECIMAL or type(ops) is not _SQLITE
            or "_create_decimal" in vars(ops)):
        return None
    # decimal.Context(prec=15) per float: the template's other settings.
    module = _operations_module()
    plain = (_C_DECIMAL is not None and vars(module).get("decimal") is decimal
             and decimal.Context is _C_DECIMAL.Context and decimal.Decimal is _C_DECIMAL.Decimal
             and _plain_context(_DEFAULT_CONTEXT, None))
    return _CREATE_DECIMAL, plain, None


def _plain_context(context, precision):
    """A context whose arithmetic the native decimal code follows: the given
    precision (any, for None), ROUND_HALF_EVEN, the default exponent limits,
    and no trap on the signals it raises (Inexact, Rounded) or on
    InvalidOperation's kin that it leaves to the decimal module."""
    return (type(context) is decimal.Context
            and (precision is None or context.prec == precision)
            and context.rounding == decimal.ROUND_HALF_EVEN and context.clamp == 0
            and context.Emax >= 999999 and context.Emin <= -999999
            and not context.traps[decimal.Inexact] and not context.traps[decimal.Rounded]
            and not context.traps[decimal.Subnormal] and not context.traps[decimal.Clamped])


def _native_decimal(quantize_value, field, created_flags):
    """(places, max_digits, Inexact, Rounded, the 15-digit context's flags or
    None, the field context's flags) where the quantizing may be done
    natively, else None. A Context's `flags` is one object for the context's
    life."""
    places, max_digits = field.decimal_places, field.max_digits
    if type(places) is not int or type(max_digits) is not int or not 0 <= places <= 38 \
            or not 1 <= max_digits <= 38:
        return None
    if (not _plain_context(field.context, max_digits)
            or type(quantize_value) is not decimal.Decimal
            or quantize_value.as_tuple() != (0, (1,), -places)):
        return None
    return (places, max_digits, decimal.Inexact, decimal.Rounded, created_flags,
            field.context.flags)


# --- the sqlite3 module's own converters ---------------------------------------
#
# Django's SQLite backend registers converters with the sqlite3 module for the
# declared column types "date", "datetime" and "timestamp":
# `lambda s: parse(s.decode())`. The cursor calls them for every value of such
# a column, before the compiler's converters run. While installed, native
# stand-ins take their place (the same answer: each hands Django's lambda any
# text that `fromisoformat` refuses), and uninstall() puts Django's back.

_CURSOR_TYPES = (("DATE", False, "parse_date"), ("DATETIME", True, "parse_datetime"),
                 ("TIMESTAMP", True, "parse_datetime"))
_replaced = {}  # type name: (Django's converter, the stand-in)
_enabled = False  # between install_cursor_converters() and uninstall_cursor_converters()
_scanned = False  # Django's converters looked at since install
# Installing, the first querysets' scans and uninstalling each read and swap
# entries of the sqlite3 module's table and of `_replaced`; run at once on
# several threads, a stand-in could be left in the table after uninstall, or
# one made twice.
_lock = threading.Lock()


def _django_decoder(converter, parse_name):
    from django.utils import dateparse

    code = getattr(converter, "__code__", None)
    closure = getattr(converter, "__closure__", None) or ()
    return (code is not None and code.co_freevars == ("conv_func",) and len(closure) == 1
            and getattr(converter, "__qualname__", "") == "decoder.<locals>.<lambda>"
            and closure[0].cell_contents is getattr(dateparse, parse_name))


def install_cursor_converters():
    """From now until uninstall_cursor_converters(), puts the stand-ins in
    place of Django's registered converters, where those are Django's and the
    sqlite3 module is loaded (see scan_cursor_converters)."""
    global _enabled
    with _lock:
        _enabled = True
        _scan()


def scan_cursor_converters():
    """Called for every queryset while installed: the stand-ins, once Django's
    backend is loaded."""
    if _scanned or not _enabled:
        return  # every queryset asks; Django registers its converters once, on import
    with _lock:
        if _enabled:
            _scan()


def _scan():
    import sys

    global _scanned
    if _scanned:
        return
    sqlite3 = sys.modules.get("sqlite3")
    if sqlite3 is None or "django.db.backends.sqlite3.base" not in sys.modules:
        return
    from . import _quorvel_core as native

    for name, with_time, parse_name in _CURSOR_TYPES:
        current = sqlite3.converters.get(name)
        if name in _replaced or current is None or not _django_decoder(current, parse_name):
            continue
        stand_in = native.cursor_converter(with_time, current)
        sqlite3.converters[name] = stand_in
        _replaced[name] = (current, stand_in)
    _scanned = True


def uninstall_cursor_converters():
    import sys

    global _enabled, _scanned
    with _lock:
        _enabled = _scanned = False
        sqlite3 = sys.modules.get("sqlite3")
        for name, (django_converter, stand_in) in list(_replaced.items()):
            if sqlite3 is not None and sqlite3.converters.get(name) is stand_in:
                sqlite3.converters[name] = django_converter
            del _replaced[name]
