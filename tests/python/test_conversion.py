"""Argument binding and conversion, shared by the Codec methods, the
constructor and the module functions.

One table lists every rejected call with the exception and message it must
raise; further tests check that every accepted form of an argument gives the
same result as a plain list, and that no call leaks references.
"""

from __future__ import annotations

import array
import collections
import re
import sys
from dataclasses import dataclass, field
from typing import Any

import pytest

import vonk._internal as internal
from argument_types import FailingSeq, Index, Seq

TOKENIZER = "cl100k_base"


class StrSub(str):
    pass


class IntSub(int):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


# --- Callables --------------------------------------------------------------------

# name: (first parameter, its element kind, takes gzip)
METHODS = {
    "encode_tokens": ("tokens", "text", True),
    "encode_token_ids": ("token_ids", "u32", True),
    "encode_mapped_ids": ("mapped_ids", "i32", True),
    "encode_raw_token_ids": ("token_ids", "u32", True),
    "decode_mapped_ids": ("payload", "u8", True),
    "decode_tokens": ("payload", "u8", True),
    "decode_token_ids": ("payload", "u8", True),
    "token_id_to_mapped_id": ("token_ids", "u32", False),
    "mapped_id_to_token_id": ("mapped_ids", "i32", False),
}
FUNCTIONS = {
    "compress_token_ids": ("token_ids", "u32", True),
    "decompress_token_ids": ("payload", "u8", True),
}
ALL_CALLABLES = {**METHODS, **FUNCTIONS}

# A first argument each callable accepts.
VALID = {"text": [","], "u32": [1, 2], "i32": [1, 2], "u8": [25, 5, 0]}

RANGES = {"u32": (0, 2**32 - 1), "i32": (-(2**31), 2**31 - 1), "u8": (0, 255)}


def full_name(name: str) -> str:
    return f"Codec.{name}()" if name in METHODS else f"{name}()"


def resolve(name: str, codec):
    if name == "Codec":
        return internal.Codec
    if name in METHODS:
        return getattr(codec, name)
    return getattr(internal, name)


def rest(name: str) -> tuple:
    """Positional arguments after the first one."""
    return (TOKENIZER,) if name in FUNCTIONS else ()


@dataclass
class Case:
    target: str
    args: tuple
    kwargs: dict[str, Any]
    error: type[BaseException]
    # Exact message, a compiled pattern, or None to check the type only.
    message: str | re.Pattern | None
    id: str = field(default="")


def case_id(case: Case) -> str:
    return f"{case.target}:{case.id}"


# --- The table ----------------------------------------------------------------------


def sequence_cases(name: str) -> list[Case]:
    param, kind, has_gzip = ALL_CALLABLES[name]
    more = rest(name)
    prefix = f"argument '{param}': "
    cases = []

    def rejects(tag, value, error, message):
        if isinstance(message, str) and error is TypeError:
            message = prefix + message
        cases.append(Case(name, (value, *more), {}, error, message, tag))

    # Not a sequence of elements.
    rejects("str", "hello", TypeError, "Can't extract `str` to `Vec`")
    rejects("empty-str", "", TypeError, "Can't extract `str` to `Vec`")
    rejects("str-subclass", StrSub("ab"), TypeError, "Can't extract `str` to `Vec`")
    for tag, value, type_name in [
        ("int", 5, "int"),
        ("none", None, "NoneType"),
        ("float", 1.5, "float"),
        ("set", {1, 2}, "set"),
        ("dict", {1: 2}, "dict"),
        ("generator", (x for x in [1]), "generator"),
        ("iterator", iter([1]), "list_iterator"),
    ]:
        rejects(tag, value, TypeError, f"'{type_name}' object cannot be converted to 'Sequence'")

    if kind == "text":
        for tag, value, type_name in [
            ("int-element", [5], "int"),
            ("second-element", [",", 5], "int"),
            ("bytes-element", [b","], "bytes"),
            ("none-element", [None], "NoneType"),
            ("bytes", b",", "int"),
            ("bytearray", bytearray(b","), "int"),
            ("tuple-element", (",", 1.0), "float"),
        ]:
            rejects(tag, value, TypeError, f"'{type_name}' object cannot be converted to 'PyString'")
        rejects("surrogate", [",", "a\ud800"], UnicodeEncodeError, None)
        return cases

    low, high = RANGES[kind]
    out_of_range = "out of range integral type conversion attempted"
    for tag, value, type_name in [
        ("float-element", [1.0], "float"),
        ("str-element", ["1"], "str"),
        ("none-element", [None], "NoneType"),
        ("later-element", [1, 2, 2.5], "float"),
        ("tuple-element", (1, b"2"), "bytes"),
        ("float-before-range", [1.5, low - 1], "float"),
    ]:
        rejects(
            tag,
            value,
            TypeError,
            re.compile(re.escape(prefix) + f"'{type_name}' object cannot be interpreted as an integer"),
        )
    for tag, value in [
        ("below", [low - 1]),
        ("above", [high + 1]),
        ("range-before-float", [low, high + 1, 1.5]),
        ("tuple-above", (high + 1,)),
        ("index-above", [Index(high + 1)]),
        ("seq-below", Seq([0, low - 1])),
    ]:
        rejects(tag, value, OverflowError, out_of_range)
    # Beyond the signed 64-bit range: the interpreter's own OverflowError.
    for tag, value in [("2**63", [2**63]), ("-2**63-1", [-(2**63) - 1]), ("2**64", [2**64])]:
        rejects(tag, value, OverflowError, re.compile(r"^(?!argument)"))
    return cases


def gzip_cases(name: str) -> list[Case]:
    param, kind, has_gzip = ALL_CALLABLES[name]
    more = rest(name)
    valid = VALID[kind]
    if not has_gzip:
        return [
            Case(
                name,
                (valid,),
                {"gzip": False},
                TypeError,
                f"{full_name(name)} got an unexpected keyword argument 'gzip'",
                "no-gzip",
            )
        ]
    cases = []
    for tag, value, type_name in [
        ("int-1", 1, "int"),
        ("int-0", 0, "int"),
        ("none", None, "NoneType"),
        ("str", "True", "str"),
        ("float", 1.0, "float"),
        ("list", [], "list"),
    ]:
        cases.append(
            Case(
                name,
                (valid, *more),
                {"gzip": value},
                TypeError,
                f"argument 'gzip': '{type_name}' object cannot be converted to 'PyBool'",
                f"gzip-{tag}",
            )
        )
    # The first argument is converted before gzip.
    cases.append(
        Case(
            name,
            ("x", *more),
            {"gzip": 1},
            TypeError,
            f"argument '{param}': Can't extract `str` to `Vec`",
            "first-before-gzip",
        )
    )
    # gzip is keyword-only.
    count = 1 + len(more)
    cases.append(
        Case(
            name,
            (valid, *more, True),
            {},
            TypeError,
            f"{full_name(name)} takes {count} positional arguments but {count + 1} were given",
            "gzip-positional",
        )
    )
    return cases


def binding_cases(name: str) -> list[Case]:
    param, kind, has_gzip = ALL_CALLABLES[name]
    more = rest(name)
    valid = VALID[kind]
    fn = full_name(name)
    count = 1 + len(more)
    cases = [
        Case(name, (valid, *more), {"bogus": 1}, TypeError,
             f"{fn} got an unexpected keyword argument 'bogus'", "unexpected"),
        # Binding fails before anything is converted.
        Case(name, ("x", *more), {"bogus": 1}, TypeError,
             f"{fn} got an unexpected keyword argument 'bogus'", "unexpected-before-convert"),
        Case(name, (valid, *more), {param: valid}, TypeError,
             f"{fn} got multiple values for argument '{param}'", "multiple"),
        Case(name, (valid, *more, 1, 2), {"bogus": 1}, TypeError,
             f"{fn} takes {count} positional arguments but {count + 2} were given", "too-many"),
    ]
    if name in METHODS:
        cases += [
            Case(name, (), {}, TypeError,
                 f"{fn} missing 1 required positional argument: '{param}'", "missing"),
            Case(name, (), {"bogus": 1}, TypeError,
                 f"{fn} got an unexpected keyword argument 'bogus'", "unexpected-before-missing"),
        ]
        if has_gzip:
            cases.append(
                Case(name, (), {"gzip": True}, TypeError,
                     f"{fn} missing 1 required positional argument: '{param}'", "missing-with-gzip")
            )
    else:
        cases += [
            Case(name, (), {}, TypeError,
                 f"{fn} missing 2 required positional arguments: '{param}' and 'tokenizer'",
                 "missing-both"),
            Case(name, (), {"gzip": True}, TypeError,
                 f"{fn} missing 2 required positional arguments: '{param}' and 'tokenizer'",
                 "missing-both-with-gzip"),
            Case(name, (valid,), {}, TypeError,
                 f"{fn} missing 1 required positional argument: 'tokenizer'", "missing-tokenizer"),
            Case(name, (), {"tokenizer": TOKENIZER}, TypeError,
                 f"{fn} missing 1 required positional argument: '{param}'", "missing-first"),
            Case(name, (valid, TOKENIZER), {"tokenizer": TOKENIZER}, TypeError,
                 f"{fn} got multiple values for argument 'tokenizer'", "multiple-tokenizer"),
            Case(name, (valid, 5), {}, TypeError,
                 "argument 'tokenizer': 'int' object cannot be converted to 'PyString'",
                 "tokenizer-int"),
            Case(name, (valid,), {"tokenizer": b"gpt2"}, TypeError,
                 "argument 'tokenizer': 'bytes' object cannot be converted to 'PyString'",
                 "tokenizer-bytes"),
            Case(name, (valid, "gpt2\udc80"), {}, UnicodeEncodeError, None, "tokenizer-surrogate"),
            # Order: first argument, then tokenizer, then gzip, then opening.
            Case(name, ("x", 5), {"gzip": 1}, TypeError,
                 f"argument '{param}': Can't extract `str` to `Vec`", "first-before-tokenizer"),
            Case(name, (valid, 5), {"gzip": 1}, TypeError,
                 "argument 'tokenizer': 'int' object cannot be converted to 'PyString'",
                 "tokenizer-before-gzip"),
            Case(name, (valid, "nope"), {"gzip": 1}, TypeError,
                 "argument 'gzip': 'int' object cannot be converted to 'PyBool'",
                 "gzip-before-open"),
        ]
    return cases


def constructor_cases() -> list[Case]:
    fn = "Codec.__new__()"
    prefix = "argument 'tokenizer': "
    return [
        Case("Codec", (), {}, TypeError,
             f"{fn} missing 1 required positional argument: 'tokenizer'", "missing"),
        Case("Codec", ("gpt2", "gpt2"), {}, TypeError,
             f"{fn} takes 1 positional arguments but 2 were given", "too-many"),
        Case("Codec", ("gpt2",), {"tokenizer": "gpt2"}, TypeError,
             f"{fn} got multiple values for argument 'tokenizer'", "multiple"),
        Case("Codec", (), {"name": "gpt2"}, TypeError,
             f"{fn} got an unexpected keyword argument 'name'", "unexpected"),
        Case("Codec", ("gpt2",), {"gzip": True}, TypeError,
             f"{fn} got an unexpected keyword argument 'gzip'", "unexpected-gzip"),
        Case("Codec", (5,), {}, TypeError,
             prefix + "'int' object cannot be converted to 'PyString'", "int"),
        Case("Codec", (None,), {}, TypeError,
             prefix + "'NoneType' object cannot be converted to 'PyString'", "none"),
        Case("Codec", (), {"tokenizer": b"gpt2"}, TypeError,
             prefix + "'bytes' object cannot be converted to 'PyString'", "bytes"),
        Case("Codec", (["gpt2"],), {}, TypeError,
             prefix + "'list' object cannot be converted to 'PyString'", "list"),
        Case("Codec", ("\ud800",), {}, UnicodeEncodeError, None, "surrogate"),
    ]


TABLE = (
    [c for name in ALL_CALLABLES for c in sequence_cases(name)]
    + [c for name in ALL_CALLABLES for c in gzip_cases(name)]
    + [c for name in ALL_CALLABLES for c in binding_cases(name)]
    + constructor_cases()
)


@pytest.mark.parametrize("case", TABLE, ids=case_id)
def test_rejected_call(case, codec):
    target = resolve(case.target, codec)
    with pytest.raises(BaseException) as caught:
        target(*case.args, **case.kwargs)
    assert type(caught.value) is case.error, caught.value
    if isinstance(case.message, str):
        assert caught.value.args == (case.message,)
    elif case.message is not None:
        assert case.message.search(str(caught.value)), str(caught.value)


def test_method_called_on_another_object_is_refused():
    for name in METHODS:
        with pytest.raises(TypeError):
            getattr(internal.Codec, name)(5, [])
    with pytest.raises(TypeError):
        internal.Codec.__dict__["tokenizer_name"].__get__(5, int)


def test_type_error_cause_is_kept_and_other_errors_pass_unchanged(codec):
    cause = KeyError("root")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        codec.encode_mapped_ids(FailingSeq([1, 2], 1, error))
    assert caught.value.args == ("argument 'mapped_ids': inner",)
    assert caught.value.__cause__ is cause

    # A subclass of TypeError is not a TypeError itself: unchanged.
    class Special(TypeError):
        pass

    special = Special("special")
    with pytest.raises(Special) as caught:
        codec.encode_mapped_ids(FailingSeq([1, 2], 1, special))
    assert caught.value is special

    value_error = ValueError("broken")
    with pytest.raises(ValueError) as caught:
        codec.decode_mapped_ids(FailingSeq([25, 5, 0], 2, value_error))
    assert caught.value is value_error


# --- Accepted forms ----------------------------------------------------------------


def integer_forms(values: list[int]) -> list[tuple[str, Any]]:
    forms = [
        ("list", list(values)),
        ("tuple", tuple(values)),
        ("list-subclass", ListSub(values)),
        ("tuple-subclass", TupleSub(values)),
        ("deque", collections.deque(values)),
        ("custom", Seq(values)),
        ("len-raises", Seq(values, length=RuntimeError("no len"))),
        ("len-lies-short", Seq(values, length=0)),
        ("len-lies-long", Seq(values, length=len(values) + 1000)),
        ("len-huge", Seq(values, length=2**40)),
        ("int-subclass", [IntSub(v) for v in values]),
        ("index", [Index(v) for v in values]),
        ("index-tuple", tuple(Index(v) for v in values)),
    ]
    if all(0 <= v <= 255 for v in values):
        forms += [
            ("bytes", bytes(values)),
            ("bytearray", bytearray(values)),
            ("memoryview", memoryview(bytes(values))),
            ("array", array.array("B", values)),
        ]
    return forms


ACCEPTED = [
    ("encode_mapped_ids", [0, 1, -1, 2**31 - 1, -(2**31), 64, -65]),
    ("encode_mapped_ids", [7, 200, 255, 0]),
    ("encode_raw_token_ids", [0, 2**32 - 1, 2**31, 5]),
    ("encode_token_ids", [11, 13, 0, 255]),
    ("token_id_to_mapped_id", [11, 13, 0, 1000]),
    ("decode_mapped_ids", [25, 53, 0, 2, 1, 0]),
    ("decode_token_ids", [25, 53, 0, 2, 1, 0]),
    ("decode_tokens", [25, 53, 0, 2, 1, 0]),
    ("compress_token_ids", [11, 13, 0]),
    ("decompress_token_ids", [25, 53, 0, 2, 1, 0]),
]


@pytest.mark.parametrize(
    "name, values, form, argument",
    [
        (name, values, form, argument)
        for name, values in ACCEPTED
        for form, argument in integer_forms(values)
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_every_sequence_form_gives_the_list_result(codec, name, values, form, argument):
    target = resolve(name, codec)
    more = rest(name)
    assert target(argument, *more) == target(list(values), *more)


def test_bools_count_as_integers(codec):
    assert codec.encode_mapped_ids([True, False]) == codec.encode_mapped_ids([1, 0])
    assert codec.encode_token_ids([True]) == codec.encode_token_ids([1])
    assert codec.decode_mapped_ids([25, 21, True, False]) == codec.decode_mapped_ids([25, 21, 1, 0])


def test_range_boundaries_are_accepted(codec):
    assert codec.decode_mapped_ids(codec.encode_mapped_ids([2**31 - 1, -(2**31)])) == [
        2**31 - 1,
        -(2**31),
    ]
    payload = codec.encode_raw_token_ids([0, 2**32 - 1])
    assert codec.decode_mapped_ids(payload) == [0, -1]
    assert codec.decode_mapped_ids([25, 21, 255, 255, 255, 255, 15, 0]) == [-(2**31)]


def fresh(text: str) -> str:
    """A new str object equal to `text`, referenced only by the caller."""
    return "".join(list(text))


TOKENS = [",", " the", ".", "\n", "the"]


@pytest.mark.parametrize(
    "form, make",
    [
        ("list", list),
        ("tuple", tuple),
        ("list-subclass", ListSub),
        ("deque", collections.deque),
        ("custom", Seq),
        ("custom-len-raises", lambda t: Seq(t, length=RuntimeError())),
        ("str-subclass-elements", lambda t: [StrSub(x) for x in t]),
    ],
)
def test_token_sequence_forms(codec, form, make):
    expected = codec.encode_tokens(TOKENS)
    assert codec.encode_tokens(make(TOKENS)) == expected


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("method", ["encode_mapped_ids", "encode_tokens"])
def test_len_interrupts_are_not_discarded(codec, method, error):
    items = [0, 1] if method == "encode_mapped_ids" else TOKENS
    with pytest.raises(error):
        getattr(codec, method)(Seq(items, length=error()))


def test_token_texts_stay_alive_while_encoding(codec):
    class FreshTexts:
        """Every element is a new str that only the iteration holds."""

        def __len__(self):
            return len(TOKENS)

        def __getitem__(self, index):
            return fresh(TOKENS[index])

    expected = codec.encode_tokens(TOKENS)
    for _ in range(50):
        assert codec.encode_tokens(FreshTexts()) == expected


def test_empty_sequences(codec):
    for empty in ([], (), b"", bytearray(), Seq([]), ListSub()):
        assert codec.encode_mapped_ids(empty) == [25, 5, 0]
        assert codec.encode_tokens(empty) == [25, 5, 0]


# --- A sequence that changes while it is converted ---------------------------------


class Mutating:
    """An integer whose conversion changes the list that holds it."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __index__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


@pytest.mark.parametrize("kind", [list, ListSub])
def test_list_changed_during_conversion(codec, kind):
    # Clearing the list ends the conversion after the current element.
    items = kind([0, 1, 2])
    items[0] = Mutating(7, items.clear)
    assert codec.encode_mapped_ids(items) == codec.encode_mapped_ids([7])

    # Appended elements are converted too, removed ones are not.
    items = kind([0, 1, 2])
    items[0] = Mutating(7, lambda: items.append(9))
    assert codec.encode_mapped_ids(items) == codec.encode_mapped_ids([7, 1, 2, 9])

    items = kind([0, 1, 2, 3])
    items[1] = Mutating(8, lambda: items.pop())
    assert codec.encode_mapped_ids(items) == codec.encode_mapped_ids([0, 8, 2])


def test_element_dropped_by_the_list_during_its_own_conversion(codec):
    items = [0, 1]

    def drop():
        items[0] = 5

    items[0] = Mutating(3, drop)
    # The element that changed the list is still converted from its own value.
    assert codec.encode_mapped_ids(items) == codec.encode_mapped_ids([3, 1])


# --- References ------------------------------------------------------------------------


def fresh_int(value: int) -> int:
    """A new int object (values above 256 are never cached)."""
    assert value > 256
    return int(str(value))


def is_shared(element) -> bool:
    # Small ints are cached and referenced from everywhere. From CPython 3.12
    # on they, the one-character strings and other immortal objects report a
    # count of 2**30 or more that means nothing: a module built against the
    # headers of an older stable ABI still moves it, without holding them.
    return (type(element) is int and -5 <= element <= 256) or sys.getrefcount(element) >= 1 << 30


def reference_calls(codec):
    words = [fresh(",") for _ in range(3)] + [fresh("not a token here")]
    payload = codec.encode_mapped_ids([1, 2, 3])
    return [
        (lambda x: codec.encode_mapped_ids(x), [fresh_int(500), fresh_int(600)]),
        (lambda x: codec.encode_mapped_ids(x), [fresh_int(10**12), fresh_int(10**13)]),
        (lambda x: codec.encode_token_ids(x), [fresh_int(10**12), fresh_int(2**20)]),
        (lambda x: codec.encode_token_ids(x), [fresh_int(2**20), 1.5]),
        (lambda x: codec.encode_tokens(x), words[:3]),
        (lambda x: codec.encode_tokens(x), words),
        (lambda x: codec.encode_tokens(x), [words[0], 5]),
        (lambda x: codec.decode_tokens(x), payload),
        (lambda x: codec.decode_tokens(x, gzip=1), payload),
        (lambda x: codec.decode_token_ids(x), payload + [fresh_int(300)]),
        (lambda x: internal.compress_token_ids(x, "nope"), [fresh_int(1000)]),
        (lambda x: internal.compress_token_ids(x, 5), [fresh_int(1000)]),
        (lambda x: internal.decompress_token_ids(x, TOKENIZER), payload),
        (lambda x: codec.mapped_id_to_token_id(x), [fresh_int(10**8)]),
    ]


def test_calls_keep_reference_counts(codec):
    for call, argument in reference_calls(codec):
        for form in (argument, tuple(argument), ListSub(argument), Seq(argument)):
            before = sys.getrefcount(form)
            elements = [sys.getrefcount(e) for e in argument if not is_shared(e)]
            for _ in range(3):
                try:
                    call(form)
                except (Exception, TypeError):  # noqa: BLE001
                    pass
            assert sys.getrefcount(form) == before
            assert [sys.getrefcount(e) for e in argument if not is_shared(e)] == elements


# --- Calls nested inside a conversion ---------------------------------------------


@pytest.mark.parametrize("method", ["encode_token_ids", "token_id_to_mapped_id"])
def test_calls_made_from_index_keep_their_own_buffers(codec, method):
    # Converting one element runs a whole encode and decode of another list
    # while the outer list is half converted.
    inner = list(range(300))
    seen = []

    class Nested:
        def __index__(self):
            seen.append(codec.decode_token_ids(codec.encode_token_ids(inner)))
            return 42

    outer = [1, 2, Nested(), 3, 4]
    result = getattr(codec, method)(outer)
    assert result == getattr(codec, method)([1, 2, 42, 3, 4])
    assert seen == [inner]


def test_payload_conversion_with_a_nested_decode(codec):
    payload = codec.encode_token_ids([5, 6, 7])
    inner_payload = codec.encode_token_ids(list(range(500)))
    seen = []

    class Byte:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            seen.append(codec.decode_token_ids(inner_payload))
            return self.value

    assert codec.decode_token_ids([Byte(payload[0])] + payload[1:]) == [5, 6, 7]
    assert seen == [list(range(500))]
