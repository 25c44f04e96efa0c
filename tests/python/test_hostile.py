"""Hostile inputs through the module: extreme nesting, sizes and numbers, texts the
interpreter cannot encode, arguments of every wrong type, and the adapter graph that
makes the path search explode. Each ends with its documented error or result."""

import functools
import hashlib
import inspect
import json

import pytest

import _veltrinax
from documents import axis, compact, outcome, rep, schema, source, valid_arguments

FUNCTIONS = _veltrinax.__all__[4:]
PARAMETERS = {name: list(inspect.signature(getattr(_veltrinax, name)).parameters) for name in FUNCTIONS}
VALID = valid_arguments(_veltrinax)

DEEP = 1_000_000
# Levels above the deep value in PLAN_WITH: the plan, its steps, the step, its metadata.
PLAN_WITH = (
    '{"id":"p","steps":[{"kind":"materialize","source_id":"s","fit_scope":"stateless",'
    '"output_representation":"r","metadata":{"x":%s}}],"output_representation":"r"}'
)
PLAN_TEXT = PLAN_WITH % "1"
ENVELOPE = VALID["validate_coordinator_data_plan_envelope_json"][0]
ARRAYS = "[" * DEEP + "]" * DEEP
OBJECTS = '{"a":' * DEEP + "1" + "}" * DEEP


def column(text, marker):
    """The column of the last character of the first `marker` in a one-line text."""
    return text.index(marker) + len(marker)


# --- deep nesting ----------------------------------------------------------------------


def deep_case(name, template, value, marker, message):
    text = template % value
    shape = "arrays" if value is ARRAYS else "objects"
    return pytest.param(name, text, f"{message} at line 1 column {column(text, marker)}", id=f"{name}-{shape}")


DEEP_READER_CASES = [
    # A record field read positionally: a step's kind cannot be an array.
    deep_case("validate_data_plan_json", '{"id":"p","steps":%s}', ARRAYS, '"steps":[[[', "expected value"),
    # A free-form field: step metadata opens its 128th level four levels below the plan.
    deep_case("data_plan_fingerprint_json", PLAN_WITH, ARRAYS, '"x":' + "[" * 124, "recursion limit exceeded"),
    deep_case(
        "data_plan_fingerprint_json", PLAN_WITH, OBJECTS, '"x":' + '{"a":' * 123 + "{", "recursion limit exceeded"
    ),
    # Under an unknown key of the envelope, which is read as one generic value first.
    deep_case(
        "validate_coordinator_data_plan_envelope_json", ENVELOPE[:-1] + ',"unknown":%s}', OBJECTS,
        '"unknown":' + '{"a":' * 126 + "{", "recursion limit exceeded",
    ),
]  # fmt: skip


@pytest.mark.parametrize("name, text, message", DEEP_READER_CASES)
def test_deep_nesting_ends_with_the_readers_error(name, text, message, reader_error):
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(text)
    reader_error(info.value, message)


@pytest.mark.parametrize("value", [ARRAYS, OBJECTS], ids=["arrays", "objects"])
def test_deep_nesting_under_an_unknown_key_is_skipped(value):
    text = PLAN_TEXT[:-1] + f',"unknown":{value}}}'
    assert _veltrinax.validate_data_plan_json(text) is None
    assert _veltrinax.data_plan_fingerprint_json(text) == _veltrinax.data_plan_fingerprint_json(PLAN_TEXT)


# --- sizes ---------------------------------------------------------------------------

HUGE = 200_000_000
# Each piece needs escaping or is not ASCII, so the text takes every path of the reader and writer.
PIECE = 'ab"\\\n\x01\u00e9' + "x" * 56


@pytest.mark.slow
def test_a_200_mb_string_value_is_fingerprinted_intact():
    value = PIECE * (HUGE // len(PIECE))
    digest = _veltrinax.data_plan_fingerprint_json(PLAN_WITH % json.dumps(value))
    canonical = (
        '{"id":"p","steps":[{"kind":"materialize","source_id":"s","adapter_id":null,"input_representation":null,'
        '"output_representation":"r","fit_scope":"stateless","requires_user_choice":false,"metadata":{"x":'
        + json.dumps(value, ensure_ascii=False)
        + '}}],"output_representation":"r","issues":[]}'
    )
    assert digest == hashlib.sha256(canonical.encode()).hexdigest()


@pytest.mark.slow
def test_a_200_mb_identifier_fails_naming_itself():
    identifier = "x" * HUGE
    text = '{"id":"p","steps":[],"output_representation":"%s"}' % identifier
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        _veltrinax.validate_data_plan_json(text)
    # Reported past the string and the brace that closes the plan right after it.
    detail = f"invalid identifier `{identifier}`: identifier is longer than 128 bytes at line 1 column {len(text)}"
    error = info.value
    assert (str(error), error.code, error.context) == ("serialization error: " + detail, "serialization_error",
                                                        {"detail": detail})  # fmt: skip
    assert error.descriptor_json.startswith('{"category":"compatibility","code":"serialization_error","severity"')
    assert len(error.descriptor_json) > 2 * HUGE  # the message and the context's detail


@functools.cache
def million():
    return [f"s{i:06}" for i in range(1_000_000)]


@pytest.mark.slow
def test_a_million_identifiers_are_read_sorted_and_fingerprinted():
    backwards = million()[::-1]
    folds = {"id": "f", "sample_ids": backwards, "folds": [{"fold_id": "f", "train_sample_ids": [],
             "validation_sample_ids": backwards}]}  # fmt: skip
    text = json.dumps(folds)
    assert _veltrinax.validate_fold_set_json(text) is None
    ids = json.dumps(million(), separators=(",", ":"))
    # Keys sorted at every level, members sorted.
    fold = f'{{"fold_id":"f","train_sample_ids":[],"validation_sample_ids":{ids}}}'
    canonical = f'{{"folds":[{fold}],"id":"f","sample_ids":{ids}}}'
    assert _veltrinax.fold_set_fingerprint_json(text) == hashlib.sha256(canonical.encode()).hexdigest()


@pytest.mark.slow
@pytest.mark.parametrize(
    "last, kind, message",
    [
        ("s000007", "rule", "dataset schema contains duplicate sample ids"),
        ("s 1", "reader", "invalid identifier `s 1`: identifier contains unsupported characters"),
    ],
)
def test_a_million_identifiers_with_a_bad_last_one(last, kind, message, rule_error, reader_error):
    text = json.dumps({"dataset_id": "d", "sample_ids": [*million(), last], "sources": []}, separators=(",", ":"))
    with pytest.raises(_veltrinax.VeltrinaxError) as info:
        _veltrinax.dataset_schema_fingerprint_json(text)
    if kind == "rule":
        rule_error(info.value, message)
    else:
        # Reported past the identifier and the bracket that closes the list right after it.
        position = column(text, json.dumps(last) + "]")
        reader_error(info.value, f"{message} at line 1 column {position}")


# --- long numbers --------------------------------------------------------------------

DIGITS = "9" * 100_000
ADAPTERS_WITH = (
    '{"adapters":[{"id":"a","version":"1","input_type":"t","input_representation":"r","output_type":"u",'
    '"output_representation":"s","cost":%s,"fit_scope":"stateless"}]}'
)


@pytest.mark.parametrize(
    "name, template, number",
    [
        ("validate_adapter_registry_json", ADAPTERS_WITH, DIGITS),
        ("validate_data_plan_json", PLAN_WITH, DIGITS),
        ("validate_coordinator_data_plan_envelope_json", ENVELOPE[:-1] + ',"unknown":%s}', "-" + DIGITS),
    ],
)
def test_a_number_of_100000_digits_beyond_any_range_is_refused(name, template, number, reader_error):
    text = template % number
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        getattr(_veltrinax, name)(text)
    reader_error(info.value, f"number out of range at line 1 column {column(text, number)}")


@pytest.mark.parametrize(
    "number, same_as",
    [
        ("0." + DIGITS, "1.0"),  # rounds up to one
        ("1" + "0" * 100_000 + "e-100000", "1.0"),
        ("1e-" + DIGITS, "0.0"),
        ("0." + "0" * 99_999 + "1", "0.0"),
    ],
)
def test_a_number_of_100000_digits_within_range_is_read_correctly_rounded(number, same_as):
    digest = _veltrinax.data_plan_fingerprint_json(PLAN_WITH % number)
    assert digest == _veltrinax.data_plan_fingerprint_json(PLAN_WITH % same_as)
    assert digest != _veltrinax.data_plan_fingerprint_json(PLAN_WITH % "0.5")


def test_a_number_of_100000_digits_under_an_unknown_key_is_skipped():
    text = PLAN_TEXT[:-1] + f',"unknown":{DIGITS}}}'
    assert _veltrinax.data_plan_fingerprint_json(text) == _veltrinax.data_plan_fingerprint_json(PLAN_TEXT)


# --- errors quoting characters beyond the Basic Multilingual Plane ---------------------

# The interpreter keeps a str holding one such character at four bytes a character; the
# texts of the error are each handed over and released in turn, and must come out whole.
ASTRAL = "\U0001f600"


def coordinate_quoting(count):
    """A schema whose numeric coordinate holds one value that is not a number: an array
    of `count` numbers 1e15 and a string with an astral character, quoted whole as its
    detail (each number written 1000000000000000.0)."""
    coordinate = {"dtype": "numeric", "values": {"kind": "explicit", "values": "@"}}
    text = compact(schema([source("s", rep("r.a", axis("sample"), axis("c", "feature", coordinate=coordinate)))]))
    values = "[[" + ",".join(["1e15"] * count) + f',"{ASTRAL}"]]'
    quoted = compact([1e15] * count + [ASTRAL])
    return text.replace('"@"', values), f"axis `c` numeric coordinate `{quoted}` is not a finite number"


ASTRAL_RULE_CASES = [
    pytest.param(name, count, id=f"{name}-{count}")
    for name in ("validate_dataset_schema_json", "dataset_schema_fingerprint_json")
    for count in (1, 400_000)
]


@pytest.mark.parametrize("name, count", ASTRAL_RULE_CASES)
def test_a_rejected_value_with_an_astral_character_is_quoted_whole_by_every_attribute(name, count, rule_error):
    text, detail = coordinate_quoting(count)
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        getattr(_veltrinax, name)(text)
    rule_error(info.value, detail)


@pytest.mark.parametrize("length", [1, 1_000_000])
def test_an_identifier_of_astral_characters_is_quoted_whole_by_the_readers_error(length, reader_error):
    identifier = "r" + ASTRAL * length
    text = '{"id":"p","steps":[],"output_representation":"%s"}' % identifier
    with pytest.raises(_veltrinax.VeltrinaxCompatibilityError) as info:
        _veltrinax.validate_data_plan_json(text)
    detail = info.value.context["detail"]
    assert detail.startswith(f"invalid identifier `{identifier}`: ")
    reader_error(info.value, detail)


# --- what the interpreter hands over ------------------------------------------------

PARAMETER_CASES = [(name, index) for name in FUNCTIONS for index in range(len(PARAMETERS[name]))]


def texts_with(name, index, value):
    """Texts that do not read as JSON, with `value` in the parameter at `index`: a value
    refused while the arguments are converted must be reported before any of them is read."""
    args = ["not json"] * len(PARAMETERS[name])
    args[index] = value
    return args


@pytest.mark.parametrize("name, index", PARAMETER_CASES)
@pytest.mark.parametrize("text", ["\ud800", '{"id":"\udfff"}', "ok\udc80"])
def test_lone_surrogates_raise_the_interpreters_encoding_error(name, index, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(_veltrinax, name)(*texts_with(name, index, text))
    assert str(info.value) == str(expected.value)
    assert info.value.__notes__ == [f"while processing '{PARAMETERS[name][index]}'"]


class Text(str):
    """A str subclass whose own methods say something else: only its characters count."""

    def __str__(self):
        return "{}"

    def encode(self, *args):
        return b"{}"


WRONG_TYPES = [
    (5, "'int' object is not an instance of 'str'"),
    (1.5, "'float' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (b"{}", "'bytes' object is not an instance of 'str'"),
    (["{}"], "'list' object is not an instance of 'str'"),
    ({"json": "{}"}, "'dict' object is not an instance of 'str'"),
    (object(), "'object' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("name, index", PARAMETER_CASES)
@pytest.mark.parametrize("value, message", WRONG_TYPES)
def test_arguments_of_a_wrong_type_are_refused_before_any_text_is_read(name, index, value, message):
    function, parameter = getattr(_veltrinax, name), PARAMETERS[name][index]
    if value is None and (name, index) == ("build_coordinator_data_plan_envelope_json", 2):
        # The one parameter that defaults to None: None means "not given".
        given = VALID[name][:index]
        assert outcome(function, (*given, None)) == outcome(function, given)
        return
    with pytest.raises(TypeError) as info:
        function(*texts_with(name, index, value))
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("name, index", PARAMETER_CASES)
def test_str_subclasses_are_read_as_their_characters(name, index):
    function, args = getattr(_veltrinax, name), list(VALID[name])
    expected = outcome(function, args)
    assert expected[0] == "returned"
    args[index] = Text(args[index])
    assert outcome(function, args) == expected


# --- the path search's worst case ------------------------------------------------------


def planning_texts(adapters, accepted, policy=None):
    """A one-source schema on node t/n0, a port accepting t/`accepted` (one or a list), and the adapters."""
    representation = {"id": "n0", "type_id": "t", "rank": 1, "axes": [{"name": "sample", "kind": "sample"}],
                      "container": "ndarray"}  # fmt: skip
    schema = {"dataset_id": "d", "sample_ids": ["a"], "sources": [{"id": "src", "name": "n", "type_id": "t",
              "modality": "m", "native_representation": representation, "sample_key": "k",
              "granularity": "per_sample"}]}  # fmt: skip
    accepted = accepted if isinstance(accepted, list) else [accepted]
    model_input = {"ports": [{"name": "x", "accepted_representations": accepted, "accepted_types": ["t"]}]}
    request = {"id": "p", "planning_policy": policy or {}}
    return [json.dumps(d) for d in (schema, model_input, {"adapters": adapters}, request)]


def link(adapter_id, source, target, cost=1):
    return {"id": adapter_id, "version": "1", "input_type": "t", "input_representation": source, "output_type": "t",
            "output_representation": target, "cost": cost, "fit_scope": "stateless"}  # fmt: skip


def chain(width, length):
    """`length` stages of `width` parallel adapters of equal weight: width**length equal paths."""
    return [link(f"a{i}.{j}", f"n{i}", f"n{i + 1}") for i in range(length) for j in range(width)]


def clique(size):
    """Free adapters between every pair of `size` nodes, then one expensive way out."""
    return [link(f"c{i}.{j}", f"n{i}", f"n{j}", 0) for i in range(size) for j in range(size) if i != j] + [
        link("z.out", f"n{size - 1}", "goal", 1000)
    ]


@pytest.mark.parametrize(
    "adapters, target, policy",
    [
        pytest.param(chain(10, 7), "n7", None, id="10^7 equal chains"),
        pytest.param(chain(10, 7), "n7", {"require_user_choice_on_ambiguity": False}, id="10^7 chains, first taken"),
        pytest.param(clique(6), "goal", None, id="clique of 6"),
        pytest.param(clique(8), "goal", {"preferred_adapters": [a["id"] for a in clique(8)]}, id="free clique of 8"),
    ],
)
def test_an_exploding_path_search_stops_at_its_limit(adapters, target, policy):
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.plan_model_input_json(*planning_texts(adapters, target, policy))
    message = str(info.value)
    assert info.value.code == "data_contract_validation"
    prefix = f"data contract validation failed: adapter path search from `t/n0` to `t/{target}` exceeded its limit of "
    assert message == f"{prefix}100000000 work units"


def ring(size):
    """A ring of `size` adapters through n0 whose one way out leaves from the node before n0."""
    node = lambda i: "n0" if i % size == 0 else f"r{i}"  # noqa: E731
    return [link(f"r{100000 + i}", node(i), node(i + 1)) for i in range(size)] + [link("z.out", node(size - 1), "goal")]


def hub(ways, dead_ends):
    """2**`ways` equal paths into a hub with `dead_ends` adapters that lead nowhere, and one way on."""
    return (chain(2, ways) + [link(f"d{100000 + i}", f"n{ways}", f"dead{i}") for i in range(dead_ends)]
            + [link("z.out", f"n{ways}", "goal")])  # fmt: skip


def dead_end_beside_overflow(stages):
    """2**`stages` equal paths into a dead end, and an unrelated adapter whose cost can overflow a sum."""
    return chain(2, stages) + [link("z.big", "x", "y", 2**64 - 1)]


@pytest.mark.parametrize(
    "adapters, accepted, expected",
    [
        pytest.param(ring(20_000), "goal", ("adapt", 20_000, "r100000", "z.out"), id="a ring of 20,000 walked once"),
        pytest.param(hub(12, 5_000), "goal", ("choices", 4096, "a0.0 -> a1.0", "a11.0 -> z.out"), id="a hub of dead ends"),
        pytest.param(dead_end_beside_overflow(24), ["t", "n0"], ("adapt", 0, None, None), id="overflow beside a dead end"),
    ],
)
def test_crafted_registries_plan_within_the_budget(adapters, accepted, expected):
    written = json.loads(_veltrinax.plan_model_input_json(*planning_texts(adapters, accepted)))
    adapted = [step["adapter_id"] for step in written["steps"] if step["kind"] == "adapt"]
    kind, count, first, last = expected
    if kind == "adapt":
        assert written["issues"] == []
        assert len(adapted) == count
        assert adapted[:1] == ([first] if first else []) and adapted[-1:] == ([last] if last else [])
    else:
        (issue,) = written["issues"]
        assert issue["code"] == "ambiguous_path" and len(issue["choices"]) == count
        assert issue["choices"][0].startswith(first) and issue["choices"][0].endswith(last)
        assert adapted == issue["choices"][0].split(" -> ")


def test_equal_paths_too_long_to_list_end_at_the_planning_limit():
    # The search itself fits the budget; the choices it would write do not, and
    # they are the plan's own text.
    long_ids = [dict(a, id="x" * 400 + a["id"]) for a in chain(2, 18)]
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.plan_model_input_json(*planning_texts(long_ids, "n18"))
    assert str(info.value) == (
        "data contract validation failed: model input planning exceeded its limit of 100000000 work units"
    )


def sources_texts(count, ports, adapters):
    """`count` sources on node t/n0, the given ports and adapters, the default request."""
    texts = planning_texts(adapters, "n0")
    schema = json.loads(texts[0])
    (source,) = schema["sources"]
    schema["sources"] = [dict(source, id=f"s{i:05d}") for i in range(count)]
    return [json.dumps(schema), json.dumps({"ports": ports}), texts[2], texts[3]]


def port_of(name, accepted, **members):
    return {"name": name, "accepted_representations": [accepted], "accepted_types": ["t"], **members}


@pytest.mark.parametrize(
    "texts",
    [
        # Every source's "unverified_rank" issue quotes the port's name: 100 MB of issues.
        pytest.param(sources_texts(500, [port_of("p" * 200_000, "unranked", rank=2, multi_source=True)],
                                   [link("a", "n0", "unranked")]), id="a long port name in every source's issue"),
        # Every port's adapt step repeats the adapter's id, version and parameters.
        pytest.param(sources_texts(1, [port_of(f"p{i}", "goal") for i in range(500)],
                                   [dict(link("a" * 100_000, "n0", "goal"), version="1." + "0" * 100_000,
                                         params={"k": "x" * 100_000})]), id="a long adapter in every port's step"),
    ],
)
def test_a_plan_whose_text_outgrows_the_budget_ends_at_the_planning_limit(texts):
    assert sum(map(len, texts)) < 1_000_000
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.plan_model_input_json(*texts)
    assert str(info.value) == (
        "data contract validation failed: model input planning exceeded its limit of 100000000 work units"
    )


def test_parameters_are_written_whole_into_every_step_of_their_adapter():
    params = {"numbers": list(range(1000)), "nested": {"b": [True, None], "a": -1.5}}
    texts = sources_texts(1, [port_of(f"p{i}", "goal") for i in range(3)],
                          [dict(link("a", "n0", "goal"), params=params)])
    written = json.loads(_veltrinax.plan_model_input_json(*texts))
    adapt = [step for step in written["steps"] if step["kind"] == "adapt"]
    assert [step["metadata"]["adapter_params"] for step in adapt] == [params] * 3


@pytest.mark.parametrize("require_choice", [True, False])
def test_the_same_graph_small_enough_is_planned(require_choice):
    texts = planning_texts(chain(2, 3), "n3", {"require_user_choice_on_ambiguity": require_choice})
    written = json.loads(_veltrinax.plan_model_input_json(*texts))
    adapted = [step["adapter_id"] for step in written["steps"] if step["kind"] == "adapt"]
    assert adapted == ["a0.0", "a1.0", "a2.0"]
    if require_choice:
        (issue,) = written["issues"]
        assert (issue["code"], len(issue["choices"])) == ("ambiguous_path", 8)
        assert issue["choices"][0] == "a0.0 -> a1.0 -> a2.0"
    else:
        assert written["issues"] == []


# --- many entries in adversarial shapes -------------------------------------------------

MANY = 20_000


def schema_with_contract(axis_names, contract_names):
    axes = [{"name": "sample", "kind": "sample"}] + [{"name": n, "kind": "feature", "size": 3} for n in axis_names]
    representation = {"id": "r", "type_id": "t", "rank": len(axes), "axes": axes, "container": "ndarray"}
    source = {"id": "s", "name": "n", "type_id": "t", "modality": "m", "native_representation": representation,
              "sample_key": "k", "granularity": "per_sample",
              "shape_contract": {"axis_sizes": {n: {"min": 3} for n in contract_names}}}  # fmt: skip
    return json.dumps({"dataset_id": "d", "sample_ids": ["a"], "sources": [source]})


NAMES = [f"a{i}" for i in range(MANY)]
# The axis of a name repeated later is bound to its first axis, whatever the later one holds.
REPEATED = schema_with_contract(NAMES, NAMES).replace('{"name": "a0", "kind": "feature", "size": 3}',
                                                      '{"name": "a0", "kind": "feature", "size": 2}', 1)  # fmt: skip


@pytest.mark.parametrize(
    "text, message",
    [
        (schema_with_contract(NAMES[::-1], NAMES), None),
        (schema_with_contract(NAMES, NAMES + ["a~"]), "source `s` shape contract references missing axis `a~`"),
        (schema_with_contract(NAMES + ["a0"], NAMES), None),
        (REPEATED, "source `s` axis `a0` size 2 violates shape contract"),
    ],
    ids=["every-axis-named", "one-name-missing", "repeated-name-later", "repeated-name-first"],
)
def test_a_contract_naming_each_of_many_axes(text, message, rule_error):
    if message is None:
        assert _veltrinax.validate_dataset_schema_json(text) is None
        return
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.validate_dataset_schema_json(text)
    rule_error(info.value, message)


def chain_of_origins(reverse):
    """Rows of samples s0, s1, ...: each row after the first derived from the row before."""
    rows = [{"observation_id": "o0", "sample_id": "s0"}]
    rows += [{"observation_id": f"o{i}", "sample_id": f"s{i}", "augmented": True, "origin_id": f"o{i - 1}"}
             for i in range(1, MANY)]  # fmt: skip
    return json.dumps({"rows": rows[::-1] if reverse else rows})


def one_fold_per_sample(trains):
    samples = [f"s{i}" for i in range(MANY)]
    folds = [{"fold_id": f"f{i}", "train_sample_ids": trains.get(i, []), "validation_sample_ids": [s]}
             for i, s in enumerate(samples)]  # fmt: skip
    return json.dumps({"id": "cv", "sample_ids": samples, "folds": folds})


HALF = MANY // 2
LEAK = "fold `f{}` leaks augmentation origin `o{}` across train/validation"


@pytest.mark.parametrize(
    "trains, reverse, detail",
    [
        ({}, False, None),
        # The last sample derives from the one before it.
        ({MANY - 1: [f"s{MANY - 2}"]}, False, LEAK.format(MANY - 1, MANY - 2)),
        # Both neighbours of a validation sample in train: two leaking rows, and the
        # first in row order names its origin.
        ({HALF: [f"s{HALF + 1}", f"s{HALF - 1}"]}, False, LEAK.format(HALF, HALF - 1)),
        ({HALF: [f"s{HALF + 1}", f"s{HALF - 1}"]}, True, LEAK.format(HALF, HALF)),
        # The first leaking fold in fold order.
        ({HALF: [f"s{HALF + 1}"], MANY - 1: [f"s{MANY - 2}"]}, True, LEAK.format(HALF, HALF)),
    ],
    ids=["no-leak", "last-fold-leaks", "first-leaking-row", "first-leaking-row-reversed", "first-leaking-fold"],
)
def test_one_fold_per_sample_against_a_chain_of_origins(trains, reverse, detail, core_error):
    args = (one_fold_per_sample(trains), chain_of_origins(reverse))
    if detail is None:
        assert _veltrinax.validate_fold_set_against_sample_relations_json(*args) is None
        return
    with pytest.raises(_veltrinax.VeltrinaxContractError) as info:
        _veltrinax.validate_fold_set_against_sample_relations_json(*args)
    core_error(info.value, category="data", code="relation_boundary_violation",
               message=f"relation boundary violation (origin): {detail}", context={"detail": detail, "kind": "origin"})  # fmt: skip


@pytest.mark.parametrize("repeats", [1, 5], ids=["distinct-keys", "every-key-five-times"])
def test_a_free_form_object_of_many_keys_in_reverse_order(repeats):
    pairs = [(f"k{i:05}", [i, round]) for round in range(repeats) for i in reversed(range(MANY))]
    members = ",".join(f"{json.dumps(k)}:{json.dumps(v)}" for k, v in pairs)
    text = PLAN_WITH % ("{" + members + "}")
    last = dict(pairs)  # the last value of each key, as the reader keeps it
    canonical = (
        '{"id":"p","steps":[{"kind":"materialize","source_id":"s","adapter_id":null,"input_representation":null,'
        '"output_representation":"r","fit_scope":"stateless","requires_user_choice":false,"metadata":{"x":'
        + json.dumps(last, sort_keys=True, separators=(",", ":"))
        + '}}],"output_representation":"r","issues":[]}'
    )
    assert _veltrinax.data_plan_fingerprint_json(text) == hashlib.sha256(canonical.encode()).hexdigest()
