"""Prepares fuzzing inputs.

    python3 fuzz/prepare.py dict > fuzz/contracts.dict
        The dictionary: every record key and enumeration value declared in the
        core's headers, as quoted JSON strings, plus JSON tokens that reach the
        reader's edge cases.

    PYTHONPATH=build/<dir>/python python3 fuzz/prepare.py seeds OUT_DIR
        Raw seed inputs, one directory per harness: the documents of the C++ and
        Python tests (the Python suite is run with every module function wrapped
        to record its arguments and results), the reader cases, the built-in
        catalogues, and any JSON Lines files named in VELTRINAX_SEED_JSONL.
        Minimise them into fuzz/corpus with `fuzz/run.sh merge`.
"""

import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEPARATOR = "\x1e"  # between the documents of one multi-document input

SINGLE = [
    "dataset_schema", "model_input", "adapter_registry", "plan_request", "data_plan",
    "relation_table", "fold_set", "value", "envelope",
]

# Module function -> the harness of each of its arguments, and of the whole call
# when it takes several documents.
ARGUMENTS = {
    "validate_dataset_schema_json": ["dataset_schema"],
    "dataset_schema_fingerprint_json": ["dataset_schema"],
    "validate_model_input_spec_json": ["model_input"],
    "validate_adapter_registry_json": ["adapter_registry"],
    "plan_model_input_json": ["dataset_schema", "model_input", "adapter_registry", "plan_request"],
    "validate_data_plan_json": ["data_plan"],
    "data_plan_fingerprint_json": ["data_plan"],
    "validate_sample_relation_table_json": ["relation_table"],
    "sample_relation_table_fingerprint_json": ["relation_table"],
    "validate_fold_set_json": ["fold_set"],
    "fold_set_fingerprint_json": ["fold_set"],
    "validate_fold_set_against_sample_relations_json": ["fold_set", "relation_table"],
    "build_coordinator_data_plan_envelope_json": ["dataset_schema", "data_plan", "relation_table"],
    "validate_coordinator_data_plan_envelope_json": ["envelope"],
}
WHOLE_CALL = {
    "plan_model_input_json": "planner",
    "validate_fold_set_against_sample_relations_json": "fold_check",
    "build_coordinator_data_plan_envelope_json": "envelope_build",
}
RESULT = {
    "plan_model_input_json": "data_plan",
    "build_coordinator_data_plan_envelope_json": "envelope",
    "builtin_adapter_registry_json": "adapter_registry",
    "tabular_numeric_model_input_spec_json": "model_input",
}


def dictionary():
    headers = (ROOT / "core/include/veltrinax").glob("*.hpp")
    sources = list(headers) + [ROOT / "core/src/model.cpp"]
    words = set()
    for path in sources:
        text = path.read_text()
        words.update(re.findall(r'(?:required|defaulted|optional)\("([a-z_0-9]+)"', text))
        for block in re.findall(r"names\{(.*?)\}", text, re.S):
            words.update(re.findall(r'"([a-z_0-9.]+)"', block))
    lines = ["# Record keys and enumeration values of the contracts (fuzz/prepare.py dict)."]
    lines += [f'"\\"{w}\\""' for w in sorted(words)]
    lines += ["# JSON tokens at the reader's edges."]
    tokens = [r'":"', r'","', r'"{}"', r'"[]"', r'"null"', r'"true"', r'"false"', r'"-0"', r'"1e400"',
              r'"18446744073709551616"', r'"-9223372036854775809"', r'"1.5e-7"', r'"\\u0000"', r'"\\ud83d\\ude00"',
              r'"\\ud800"', r'"\x1e"', r'"\xc3\xa9"', r'"\xe2\x80\x83"', r'"{\"kind\":null}"']
    lines += tokens
    return "\n".join(lines) + "\n"


class Seeds:
    def __init__(self, out):
        self.out = pathlib.Path(out)
        self.count = 0

    def add(self, harness, text):
        if isinstance(text, str):
            data = text.encode("utf-8", "surrogatepass")
        else:
            data = text
        if not data or len(data) > 32 << 10:
            return
        directory = self.out / harness
        directory.mkdir(parents=True, exist_ok=True)
        path = directory / hashlib.sha1(data).hexdigest()
        if not path.exists():
            path.write_bytes(data)
            self.count += 1

    def add_document(self, text, harnesses=SINGLE):
        for harness in harnesses:
            self.add(harness, text)


def cpp_documents():
    """String literals of the C++ tests that look like documents, adjacent ones joined."""
    literal = r'(?:R"([^(]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)")'
    for path in sorted((ROOT / "tests/core").glob("*.cpp")):
        text = path.read_text()
        for group in re.finditer(rf'{literal}(?:\s*{literal})*', text, re.S):
            pieces = []
            for m in re.finditer(literal, group.group(0), re.S):
                if m.group(2) is not None:
                    pieces.append(m.group(2))
                else:
                    try:
                        pieces.append(bytes(m.group(3), "utf-8").decode("unicode_escape"))
                    except UnicodeDecodeError:
                        pieces.append(m.group(3))
            document = "".join(pieces)
            if document.lstrip()[:1] in ("{", "["):
                yield document


def recorded_calls(out):
    """Runs the Python suite with the module's functions wrapped; returns the calls."""
    record = out / "calls.jsonl"
    plugin = out / "record_calls_plugin.py"
    plugin.write_text(RECORDER.replace("@RECORD@", str(record)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(out), env.get("PYTHONPATH", "")])
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "record_calls_plugin",
                    "-p", "no:cacheprovider", str(ROOT / "tests/python")], env=env, cwd=ROOT,
                   stdout=subprocess.DEVNULL, check=False)
    with open(record) as f:
        return [json.loads(line) for line in f]


RECORDER = '''
import inspect
import json
import _veltrinax

_calls = set()

def _wrap(name, function):
    signature = inspect.signature(function)
    def wrapper(*args, **kwargs):
        result = None
        try:
            result = function(*args, **kwargs)
            return result
        finally:
            try:
                texts = list(signature.bind(*args, **kwargs).arguments.values())
            except TypeError:
                texts = [None]
            if all(isinstance(t, str) for t in texts) and sum(map(len, texts)) < 1 << 20:
                _calls.add(json.dumps([name, texts, result if isinstance(result, str) else None]))
    return wrapper

for _name in _veltrinax.__all__:
    _function = getattr(_veltrinax, _name)
    if callable(_function) and not isinstance(_function, type):
        setattr(_veltrinax, _name, _wrap(_name, _function))

def pytest_sessionfinish(session, exitstatus):
    with open("@RECORD@", "w") as f:
        for line in sorted(_calls):
            f.write(line + "\\n")
'''


def seeds(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    s = Seeds(out)
    for document in cpp_documents():
        s.add_document(document)
    with open(ROOT / "tests/core/data/reader_cases.jsonl") as f:
        for line in f:
            s.add_document(json.loads(line)["doc"])
    for name in os.environ.get("VELTRINAX_SEED_JSONL", "").split(os.pathsep):
        for path in sorted(pathlib.Path(name).glob("*.jsonl")) if name else []:
            for line in path.read_text().splitlines():
                if line.strip():
                    s.add_document(line)
    for name, texts, result in recorded_calls(out):
        targets = ARGUMENTS.get(name, [])
        for harness, text in zip(targets, texts):
            if text is not None:
                s.add(harness, text)
                s.add("value", text)
        if name in WHOLE_CALL:
            s.add(WHOLE_CALL[name], SEPARATOR.join(t for t in texts if t is not None))
        if result is not None and name in RESULT:
            s.add(RESULT[name], result)
        if result is not None and result.startswith(("{", "[")):
            s.add("value", result)
    print(f"{s.count} seed inputs in {out}")


if __name__ == "__main__":
    if sys.argv[1:] == ["dict"]:
        sys.stdout.write(dictionary())
    elif len(sys.argv) == 3 and sys.argv[1] == "seeds":
        seeds(sys.argv[2])
    else:
        sys.exit(__doc__)
