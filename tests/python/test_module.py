"""The module object: members, docstrings, signatures and initialisation."""

from __future__ import annotations

import importlib
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vonk
import vonk._internal as internal
from conftest import TOKENIZERS


def test_all_lists_the_members_in_registration_order():
    assert internal.__all__ == [
        "Codec",
        "list_available_tokenizers",
        "compress_token_ids",
        "decompress_token_ids",
    ]
    for name in internal.__all__:
        assert hasattr(internal, name)


def test_module_docstring_is_empty_not_none():
    assert internal.__doc__ == ""


def test_module_has_no_other_public_members():
    public = {name for name in dir(internal) if not name.startswith("_")}
    assert public == set(internal.__all__)


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(internal, "PanicException")
    assert not hasattr(vonk, "PanicException")


def test_package_reexports_the_same_objects():
    for name in internal.__all__:
        assert getattr(vonk, name) is getattr(internal, name)


def test_list_available_tokenizers():
    names = internal.list_available_tokenizers()
    assert names == list(TOKENIZERS)
    assert all(type(name) is str for name in names)


def test_list_available_tokenizers_returns_a_fresh_list_each_call():
    first = internal.list_available_tokenizers()
    second = internal.list_available_tokenizers()
    assert first == second and first is not second
    first.clear()
    first.append("changed")
    assert internal.list_available_tokenizers() == list(TOKENIZERS)


@pytest.mark.parametrize(
    "args, kwargs", [((1,), {}), ((), {"x": 1}), (("gpt2",), {})]
)
def test_list_available_tokenizers_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        internal.list_available_tokenizers(*args, **kwargs)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("list_available_tokenizers", "()", None),
        (
            "compress_token_ids",
            "(token_ids, tokenizer, *, gzip=False)",
            "Compress token IDs with selected tokenizer",
        ),
        (
            "decompress_token_ids",
            "(payload, tokenizer, *, gzip=False)",
            "Decompress bytes to token IDs",
        ),
    ],
)
def test_function_signature_and_doc(name, signature, doc):
    function = getattr(internal, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__name__ == name
    assert function.__module__ == "vonk._internal"
    assert function.__self__ is internal
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize(
    "name, parameter, summary",
    [
        ("encode_tokens", "tokens, *, gzip=False", "Encode tokens to compressed bytes"),
        ("encode_token_ids", "token_ids, *, gzip=False", "Encode token IDs to compressed bytes"),
        (
            "encode_mapped_ids",
            "mapped_ids, *, gzip=False",
            "Encode mapped IDs directly (no mapping)",
        ),
        (
            "encode_raw_token_ids",
            "token_ids, *, gzip=False",
            "Benchmark: encode raw token IDs as i32",
        ),
        ("decode_mapped_ids", "payload, *, gzip=False", "Decode to mapped IDs"),
        ("decode_tokens", "payload, *, gzip=False", "Decode to tokens"),
        ("decode_token_ids", "payload, *, gzip=False", "Decode to token IDs"),
        ("token_id_to_mapped_id", "token_ids", None),
        ("mapped_id_to_token_id", "mapped_ids", None),
    ],
)
def test_method_signature_and_doc(name, parameter, summary):
    method = internal.Codec.__dict__[name]
    assert method.__text_signature__ == f"($self, {parameter})"
    assert method.__doc__ == summary
    assert str(inspect.signature(method)) == f"(self, /, {parameter})"


def test_methods_are_defined_in_order():
    methods = [
        name
        for name, value in internal.Codec.__dict__.items()
        if callable(value) and not name.startswith("__")
    ]
    assert methods == [
        "encode_tokens",
        "encode_token_ids",
        "encode_mapped_ids",
        "encode_raw_token_ids",
        "decode_mapped_ids",
        "decode_tokens",
        "decode_token_ids",
        "token_id_to_mapped_id",
        "mapped_id_to_token_id",
    ]


def test_class_signature():
    assert internal.Codec.__text_signature__ == "(tokenizer)"
    assert str(inspect.signature(internal.Codec)) == "(tokenizer)"


def test_repeated_initialisation_returns_the_same_module():
    saved = sys.modules.pop("vonk._internal")
    try:
        again = importlib.import_module("vonk._internal")
        assert again is saved
    finally:
        sys.modules["vonk._internal"] = saved
    assert internal.list_available_tokenizers() == list(TOKENIZERS)


SUBINTERPRETER_PROBE = textwrap.dedent(
    """
    import json, sys
    import vonk._internal as first
    import _testcapi

    code = '''
    import json, sys
    sys.path[:] = {path!r}
    try:
        import vonk._internal
        result = ["imported", ""]
    except BaseException as error:
        result = [type(error).__name__, str(error)]
    with open({out!r}, "w") as f:
        json.dump(result, f)
    '''.format(path=sys.path, out=sys.argv[1])
    status = _testcapi.run_in_subinterp(code)
    codec = first.Codec("gpt2")
    print(json.dumps([status, first.list_available_tokenizers(), codec.tokenizer_name]))
    """
)


def test_second_interpreter_is_refused(tmp_path):
    try:
        import _testcapi

        _testcapi.run_in_subinterp  # noqa: B018
    except (ImportError, AttributeError):
        pytest.skip("_testcapi.run_in_subinterp is not available")
    out = tmp_path / "result.json"
    completed = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_PROBE, str(out)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    kind, message = json.loads(out.read_text())
    assert kind == "ImportError"
    assert "subinterpreters are not supported" in message
    # The first interpreter keeps working after the refusal.
    status, names, tokenizer = json.loads(completed.stdout)
    assert status == 0
    assert names == list(TOKENIZERS)
    assert tokenizer == "gpt2"


# An isolated subinterpreter that imports vonk first is refused by CPython
# 3.12 only after the module's initialisation has run; the main interpreter
# must be able to import vonk while that interpreter still lives.
LOCKOUT_PROBE = textwrap.dedent(
    """
    try:
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create(isolated=True)
        run = interpreters.run_string
    except (ImportError, TypeError):
        try:
            import _interpreters as interpreters
        except ImportError:
            raise SystemExit(77)
        interpreter = interpreters.create()
        run = interpreters.exec
    run(interpreter, "try:\\n    import vonk\\nexcept ImportError:\\n    pass\\n")
    import vonk
    print(vonk.Codec("gpt2").tokenizer_name, vonk.pack([1], vonk.Codec("gpt2")).hex())
    interpreters.destroy(interpreter)
    """
)


def find_python(version):
    """A working interpreter of `version` (pyenv's or on PATH), or None."""
    pyenv = os.path.expanduser("~/.pyenv/versions")
    candidates = sorted(
        os.path.join(pyenv, v, "bin", "python3")
        for v in (os.listdir(pyenv) if os.path.isdir(pyenv) else [])
        if v.startswith(version + ".")
    )
    candidates.append(shutil.which(f"python{version}"))
    for python in filter(None, candidates):
        probe = subprocess.run([python, "-c", "pass"], capture_output=True)
        if probe.returncode == 0:
            return python
    return None


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_refused_subinterpreter_does_not_lock_out_the_main_one(version):
    python = find_python(version)
    if python is None:
        pytest.skip(f"no python{version} on this machine")
    package_parent = os.path.dirname(os.path.dirname(vonk.__file__))
    completed = subprocess.run(
        [python, "-c", LOCKOUT_PROBE],
        env={**os.environ, "PYTHONPATH": package_parent},
        cwd=os.path.dirname(package_parent),
        capture_output=True,
        text=True,
        timeout=120,
    )
    if completed.returncode == 77:
        pytest.skip(f"python{version} has no private subinterpreter module")
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split()[0] == "gpt2"
