"""The schema's keys are listed once on each side, and the lists agree."""

import re

from quorvel_core.schema_keys import SCHEMA_KEYS

from .helpers import ROOT

SRC = ROOT / "src"

# What the parsers read a key of a schema dict with.
READERS = ("req_item", "opt_item", "any_item", "opt_bool", "req_text", "req_interned", "req_dict",
           "opt_usize", "read_int_bound", "read_float_bound")


def sources():
    return [path.read_text() for path in sorted(SRC.rglob("*.[ch]pp"))]


def test_the_header_lists_the_python_keys():
    header = (SRC / "schema_keys.hpp").read_text().partition("#define QC_SCHEMA_KEYS")[2]
    assert sorted(re.findall(r"\bX\((\w+)\)", header)) == sorted(SCHEMA_KEYS)


def test_every_key_the_parsers_read_is_listed():
    used = {key for text in sources() for key in re.findall(r"\bkeys::(\w+)", text)}
    assert used, "no keys:: constant found under src/"
    assert used - set(SCHEMA_KEYS) == set()


def test_no_reader_takes_a_literal_key():
    call = re.compile(rf'\b(?:{"|".join(READERS)})\([^,()]+,\s*"(\w*)"')
    assert [key for text in sources() for key in call.findall(text)] == []
