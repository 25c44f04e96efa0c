"""How many characters an error's texts take for each byte of the value it rejects.

An error quotes what it rejects, whole, in four strs: the message (`str(error)`),
`descriptor_json` (which holds the message twice: as its message and as the
context's detail), `context_json` and the string inside `context`. How much each
takes per input byte depends on how the value reaches the message:

- quoted by the reader: a string rejected for its type ("invalid type: string
  ..."), read from text (a schema's `sources`) or from a generic value (an
  envelope's `plan`, which is read whole first). Between double quotes, `"` and
  `\\` escaped, `\\n`, `\\r`, `\\t` and NUL as two characters, and every other
  control character (C0, DEL, C1) as `\\u{hex}`;
- as it is: texts a rule names unchanged (an unknown variant here; identifiers,
  keys, names and labels alike);
- written: a value a rule rejects written as compact JSON (a numeric coordinate
  that is not a number): numbers in their shortest form, so `1e15` becomes
  `1000000000000000.0`; strings with JSON's escapes.

The JSON texts then escape the message once more: `"` and `\\` with a backslash,
C0 controls as `\\uXXXX` or their two-character forms; DEL, C1 and everything
from U+0080 up stay as they are.

CLASSES is that derivation: for each class of input, the characters each text
grows by per unit of input. The most per input byte is a DEL byte in a string the
reader rejects: `\\u{7f}` in the message and its context string (6 each), 7 in
each of its three quotes in JSON (two in `descriptor_json`), 33 characters in
all. A str holding one character beyond the Basic Multilingual Plane takes four
bytes a character, and the reader's quoting keeps such a character as it is, so
one of them in the rejected string puts all four strs at that width: 132 bytes
per input byte.
"""

import sys
from fractions import Fraction

import pytest

import _veltrinax
from documents import axis, compact, rep, schema, source

# The most characters the exception's texts take per byte of a rejected value, over
# every class of input, and the bytes a character of a str that holds one character
# beyond the Basic Multilingual Plane.
FACTOR = 33
WIDE = 4

TEXTS = ("message", "descriptor_json", "context_json", "context string")
ASTRAL = "\U0001f600"

# A line of whitespace before every document keeps the column a reader's message
# ends with at the same number of digits for every value measured here.
PAD = " " * 1000


def _coordinate_schema():
    coordinate = {"dtype": "numeric", "values": {"kind": "explicit", "values": "@"}}
    return compact(schema([source("s", rep("r.a", axis("sample"), axis("c", "feature", coordinate=coordinate)))]))


FINGERPRINT = "0" * 64
# Where a value is rejected, as (function, document with "@" for the value's units).
LAYOUTS = {
    "reader": ("validate_dataset_schema_json", compact(schema()).replace('"sources":[]', '"sources":"@"')),
    "reader-value": (
        "validate_coordinator_data_plan_envelope_json",
        compact({"schema_version": 1, "schema_fingerprint": FINGERPRINT, "plan_fingerprint": FINGERPRINT,
                 "plan": "@"}),
    ),
    "as-is": ("validate_dataset_schema_json", compact(schema([source("s", granularity="@")]))),
    "written": ("validate_dataset_schema_json", _coordinate_schema().replace('"@"', '[["@"]]')),
    "written-number": ("validate_dataset_schema_json", _coordinate_schema().replace('"@"', "[[@0]]")),
}


def texts(error):
    detail = max((value for value in error.context.values() if isinstance(value, str)), key=len)
    return (error.args[0], error.descriptor_json, error.context_json, detail)


def rejected(layout, value):
    function, document = LAYOUTS[layout]
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        getattr(_veltrinax, function)(PAD + document.replace("@", value))
    return info.value


def growth(layout, unit, count=16):
    """The characters each text takes for one more `unit` of input, from the same
    error with `count` and `2 * count` units."""
    small, large = texts(rejected(layout, unit * count)), texts(rejected(layout, unit * 2 * count))
    return tuple(Fraction(len(b) - len(a), count) for a, b in zip(small, large))


def per_byte(unit, grown):
    size = len(unit.encode())
    return tuple(Fraction(g) / size for g in grown)


# Class, its unit as the document writes it, and the characters each text grows by
# per unit: (message, descriptor_json, context_json, context string), for each
# layout the class can be rejected in.
QUOTED = "reader", "reader-value"
CLASSES = [
    ("printable ASCII", "a", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("DEL, unescaped", "\x7f", {QUOTED: (6, 14, 7, 6), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("escaped quote", '\\"', {QUOTED: (2, 8, 4, 2), "as-is": (1, 4, 2, 1), "written": (2, 8, 4, 2)}),
    ("escaped backslash", "\\\\", {QUOTED: (2, 8, 4, 2), "as-is": (1, 4, 2, 1), "written": (2, 8, 4, 2)}),
    ("escaped slash", "\\/", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("\\n, \\r, \\t", "\\n", {QUOTED: (2, 6, 3, 2), "as-is": (1, 4, 2, 1), "written": (2, 6, 3, 2)}),
    ("\\b, \\f", "\\b", {QUOTED: (5, 12, 6, 5), "as-is": (1, 4, 2, 1), "written": (2, 6, 3, 2)}),
    ("NUL as \\u0000", "\\u0000", {QUOTED: (2, 6, 3, 2), "as-is": (1, 12, 6, 1), "written": (6, 14, 7, 6)}),
    ("C0 as \\u0001-\\u000f", "\\u0001", {QUOTED: (5, 12, 6, 5), "as-is": (1, 12, 6, 1), "written": (6, 14, 7, 6)}),
    ("C0 as \\u0010-\\u001f", "\\u001f", {QUOTED: (6, 14, 7, 6), "as-is": (1, 12, 6, 1), "written": (6, 14, 7, 6)}),
    ("DEL as \\u007f", "\\u007f", {QUOTED: (6, 14, 7, 6), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("C1, unescaped (2 bytes)", "\u0080", {QUOTED: (6, 14, 7, 6), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("other 2-byte UTF-8", "\u00e9", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("3-byte UTF-8", "\u2028", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("4-byte UTF-8", ASTRAL, {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("other \\uXXXX", "\\u0041", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1), "written": (1, 2, 1, 1)}),
    ("escaped surrogate pair", "\\ud83d\\ude00", {QUOTED: (1, 2, 1, 1), "as-is": (1, 2, 1, 1),
                                                  "written": (1, 2, 1, 1)}),
    # Elements of a rejected array, each with the comma that separates it.
    ("number 1e15", "1e15,", {"written-number": (19, 38, 19, 19)}),
    ("number -1e15", "-1e15,", {"written-number": (20, 40, 20, 20)}),
    ("number 1e-5", "1e-5,", {"written-number": (8, 16, 8, 8)}),
    ("number -0", "-0,", {"written-number": (5, 10, 5, 5)}),
    ("number 0", "0,", {"written-number": (2, 4, 2, 2)}),
    ("empty string", '"",', {"written-number": (3, 10, 5, 3)}),
    ("literal", "true,", {"written-number": (5, 10, 5, 5)}),
    ("structure", "[],", {"written-number": (3, 6, 3, 3)}),
    ("whitespace", " ", {"written-number": (0, 0, 0, 0)}),
]


def _layout_cases():
    for name, unit, bounds in CLASSES:
        for layouts, bound in bounds.items():
            for layout in (layouts,) if isinstance(layouts, str) else layouts:
                yield pytest.param(layout, unit, bound, id=f"{layout}-{name}")


CASES = list(_layout_cases())


@pytest.mark.parametrize("layout, unit, bound", CASES)
def test_each_class_grows_each_text_by_at_most_its_stated_characters(layout, unit, bound):
    grown = growth(layout, unit)
    assert all(g <= b for g, b in zip(grown, bound)), dict(zip(TEXTS, grown))


def test_the_worst_class_takes_the_stated_characters_per_input_byte():
    totals = {(layout, unit): sum(per_byte(unit, growth(layout, unit))) for layout, unit, _ in
              (case.values for case in CASES)}
    most = max(totals.values())
    assert most == FACTOR
    assert {case for case, total in totals.items() if total == most} == {("reader", "\x7f"), ("reader-value", "\x7f")}


# --- every byte and code point, in every form a document can give it ---------------------

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r",
                 "\t": "\\t"}  # fmt: skip
WIDER = [0x100, 0x7FF, 0x800, 0x2028, 0xD7FF, 0xE000, 0xFEFF, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF]


def _forms(code_point):
    """Every way a JSON string can hold the character: as it is (where legal), by its
    short escape, by \\uXXXX (a surrogate pair beyond the BMP)."""
    c = chr(code_point)
    if code_point >= 0x20 and c not in '"\\':
        yield c
    if c in SHORT_ESCAPES:
        yield SHORT_ESCAPES[c]
    if code_point < 0x10000:
        yield f"\\u{code_point:04x}"
    else:
        high, low = divmod(code_point - 0x10000, 0x400)
        yield f"\\u{0xD800 + high:04x}\\u{0xDC00 + low:04x}"


STRING_UNITS = [form for code_point in [*range(0x100), *WIDER] for form in _forms(code_point)]
NUMBER_UNITS = [f"{sign}{digit}e{exponent}," for sign in ("", "-") for digit in ("1", "9")
                for exponent in range(-320, 308)] + ["-0,", "0.0,", "1.5,", "18446744073709551616,"]  # fmt: skip


def _most_per_byte(layout):
    """The most characters per input byte each text takes, over the classes of a layout."""
    rows = [per_byte(unit, bound) for case_layout, unit, bound in (case.values for case in CASES)
            if case_layout == layout]  # fmt: skip
    return tuple(max(row[i] for row in rows) for i in range(len(TEXTS)))


@pytest.mark.parametrize("layout", ["reader", "reader-value", "as-is", "written"])
def test_no_character_in_any_form_takes_more_per_byte_than_the_classes_of_its_layout(layout):
    most = _most_per_byte(layout)
    for unit in STRING_UNITS:
        grown = per_byte(unit, growth(layout, unit, count=4))
        assert all(g <= m for g, m in zip(grown, most)), (unit, dict(zip(TEXTS, grown)))


def test_no_number_form_takes_more_per_byte_than_the_number_classes():
    most = _most_per_byte("written-number")
    for unit in NUMBER_UNITS:
        grown = per_byte(unit, growth("written-number", unit, count=4))
        assert all(g <= m for g, m in zip(grown, most)), (unit, dict(zip(TEXTS, grown)))


# --- the width Python gives the texts ----------------------------------------------------


@pytest.mark.parametrize("layout", ["reader", "reader-value", "as-is", "written"])
def test_one_astral_character_puts_every_text_at_four_bytes_a_character(layout):
    count = 1000
    small = texts(rejected(layout, "\x7f" * count + ASTRAL))
    large = texts(rejected(layout, "\x7f" * 2 * count + ASTRAL))
    for a, b in zip(small, large):
        assert ASTRAL in b
        assert sys.getsizeof(b) - sys.getsizeof(a) == WIDE * (len(b) - len(a))


def test_the_worst_class_costs_the_stated_bytes_per_input_byte_with_an_astral_character():
    count = 1000
    small = texts(rejected("reader", "\x7f" * count + ASTRAL))
    large = texts(rejected("reader", "\x7f" * 2 * count + ASTRAL))
    grown = sum(sys.getsizeof(b) - sys.getsizeof(a) for a, b in zip(small, large))
    assert Fraction(grown, count) == FACTOR * WIDE
