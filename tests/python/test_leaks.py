"""Every entry point, on success and on every failure path, called many times
must not leak.

On a debug interpreter (one with sys.gettotalrefcount) the total reference
count must not grow; elsewhere the memory traced by tracemalloc must not grow
beyond a small slack. A lost reference to a result list, an exception, a
converted argument or an int leaks one object per call and shows up in both.
"""

from __future__ import annotations

import array
import ctypes
import gc
import itertools
import os
import sys
import tracemalloc
from collections.abc import Callable

import pytest

from argument_types import BadIndex, FailingSeq, Index, Seq
from vonk._arrays import pack, pack_many, unpack, unpack_many
from vonk._internal import (
    Codec,
    compress_token_ids,
    decompress_token_ids,
    list_available_tokenizers,
)

CALLS = int(os.environ.get("VONK_LEAK_CALLS", "1000"))
WARM_UP = 50
# Below this many calls a leak cannot be told from noise: the calls still
# run every path (as the sanitizer run wants) but nothing is measured.
MEASURED_CALLS = 1000
# Total references that may appear over CALLS calls (caches of the
# interpreter settling); one leaked reference per call is CALLS.
REFCOUNT_SLACK = 100
# Traced bytes that may appear over CALLS calls (one-off caches stay below
# 3 KiB). The smallest leak, one lost reference to a new int per call, adds
# 28 bytes a call: 1000 calls put it at 28 KiB, and it goes unseen below
# about 590 calls.
TRACED_SLACK = 16 * 1024

codec = Codec("cl100k_base")

# Token ids 0 to 2 and their texts and mapped ids, taken from the mapping.
IDS = [0, 1, 2]
MAPPED = codec.token_id_to_mapped_id(IDS)
TOKENS = codec.decode_tokens(codec.encode_token_ids(IDS))
PAYLOAD = codec.encode_token_ids(IDS)
GZIP_PAYLOAD = codec.encode_token_ids(IDS, gzip=True)
# A payload holding the mapped id 2147483647, which no mapping holds.
UNMAPPED_PAYLOAD = codec.encode_mapped_ids([MAPPED[0], 2147483647])
# Ids whose varints run past the 64-bit range of the conversion.
HUGE = 2**70


def generator():
    yield 1


# Each case: an id, the call, and the exception it must raise (None for
# success). The expected exception keeps every case on the path it names.
CASES: list[tuple[str, Callable[[], object], type[BaseException] | None]] = []


def case(name: str, expected: type[BaseException] | None = None):
    def add(call: Callable[[], object]) -> Callable[[], object]:
        CASES.append((name, call, expected))
        return call

    return add


# --- Module functions ---------------------------------------------------------
case("list_available_tokenizers")(lambda: list_available_tokenizers())
case("list_available_tokenizers/argument", TypeError)(
    lambda: list_available_tokenizers(1)  # type: ignore[call-arg]
)
for gz in (False, True):
    payload = GZIP_PAYLOAD if gz else PAYLOAD
    case(f"compress_token_ids/gzip={gz}")(
        lambda gz=gz: compress_token_ids(IDS, "cl100k_base", gzip=gz)
    )
    case(f"decompress_token_ids/gzip={gz}")(
        lambda gz=gz, p=payload: decompress_token_ids(p, "cl100k_base", gzip=gz)
    )
    case(f"decompress_token_ids/bytes/gzip={gz}")(
        lambda gz=gz, p=bytes(payload): decompress_token_ids(p, "cl100k_base", gzip=gz)
    )
for name, function, first in (
    ("compress_token_ids", compress_token_ids, IDS),
    ("decompress_token_ids", decompress_token_ids, PAYLOAD),
):
    case(f"{name}/missing", TypeError)(lambda f=function: f())
    case(f"{name}/too-many", TypeError)(lambda f=function, a=first: f(a, "cl100k_base", True))
    case(f"{name}/unknown-keyword", TypeError)(
        lambda f=function, a=first: f(a, "cl100k_base", zip=True)
    )
    case(f"{name}/twice", TypeError)(
        lambda f=function, a=first: f(a, "cl100k_base", tokenizer="gpt2")
    )
    case(f"{name}/str", TypeError)(lambda f=function: f("abc", "cl100k_base"))
    case(f"{name}/non-sequence", TypeError)(lambda f=function: f(5, "cl100k_base"))
    case(f"{name}/float-element", TypeError)(lambda f=function: f([1, 1.0], "cl100k_base"))
    case(f"{name}/negative", OverflowError)(lambda f=function: f([1, -1], "cl100k_base"))
    case(f"{name}/beyond-64-bits", OverflowError)(lambda f=function: f([HUGE], "cl100k_base"))
    case(f"{name}/tokenizer-type", TypeError)(lambda f=function, a=first: f(a, 5))
    case(f"{name}/tokenizer-surrogate", UnicodeEncodeError)(
        lambda f=function, a=first: f(a, "\ud800")
    )
    case(f"{name}/TokenizerNotFound", Exception)(lambda f=function, a=first: f(a, "nope"))
    case(f"{name}/gzip-type", TypeError)(
        lambda f=function, a=first: f(a, "cl100k_base", gzip=1)
    )
case("compress_token_ids/TokenIdNotFound", KeyError)(
    lambda: compress_token_ids([0, 2**32 - 1], "cl100k_base")
)
case("decompress_token_ids/InvalidPayload", Exception)(
    lambda: decompress_token_ids([], "cl100k_base")
)
case("decompress_token_ids/bad-gzip", Exception)(
    lambda: decompress_token_ids(PAYLOAD, "cl100k_base", gzip=True)
)
case("decompress_token_ids/MappedIdNotFound", KeyError)(
    lambda: decompress_token_ids(UNMAPPED_PAYLOAD, "cl100k_base")
)

# --- Construction and the getter ----------------------------------------------
case("Codec")(lambda: Codec("cl100k_base"))
case("Codec/keyword")(lambda: Codec(tokenizer="gpt2"))
case("Codec/missing", TypeError)(lambda: Codec())  # type: ignore[call-arg]
case("Codec/too-many", TypeError)(lambda: Codec("a", "b"))  # type: ignore[call-arg]
case("Codec/unknown-keyword", TypeError)(lambda: Codec(name="a"))  # type: ignore[call-arg]
case("Codec/type", TypeError)(lambda: Codec(5))  # type: ignore[arg-type]
case("Codec/surrogate", UnicodeEncodeError)(lambda: Codec("\ud800"))
case("Codec/TokenizerNotFound", Exception)(lambda: Codec("nope"))
case("tokenizer_name")(lambda: codec.tokenizer_name)

# --- The nine methods ---------------------------------------------------------
# First argument of each method on success.
GOOD = {
    "encode_tokens": TOKENS,
    "encode_token_ids": IDS,
    "encode_mapped_ids": MAPPED,
    "encode_raw_token_ids": IDS,
    "decode_mapped_ids": PAYLOAD,
    "decode_tokens": PAYLOAD,
    "decode_token_ids": PAYLOAD,
    "token_id_to_mapped_id": IDS,
    "mapped_id_to_token_id": MAPPED,
}
PARAMETER = {
    "encode_tokens": "tokens",
    "encode_token_ids": "token_ids",
    "encode_mapped_ids": "mapped_ids",
    "encode_raw_token_ids": "token_ids",
    "decode_mapped_ids": "payload",
    "decode_tokens": "payload",
    "decode_token_ids": "payload",
    "token_id_to_mapped_id": "token_ids",
    "mapped_id_to_token_id": "mapped_ids",
}
WITH_GZIP = {name for name in GOOD if name.startswith(("encode", "decode"))}
INTEGER_METHODS = [name for name in GOOD if name != "encode_tokens"]

for method, good in GOOD.items():
    bound = getattr(codec, method)
    case(f"{method}")(lambda m=bound, a=good: m(a))
    case(f"{method}/tuple")(lambda m=bound, a=tuple(good): m(a))
    case(f"{method}/sequence")(lambda m=bound, a=Seq(good, length=RuntimeError): m(a))
    case(f"{method}/missing", TypeError)(lambda m=bound: m())
    case(f"{method}/too-many", TypeError)(lambda m=bound, a=good: m(a, False))
    case(f"{method}/unknown-keyword", TypeError)(lambda m=bound, a=good: m(a, level=9))
    case(f"{method}/str", TypeError)(lambda m=bound: m("abc"))
    case(f"{method}/non-sequence", TypeError)(lambda m=bound: m({1, 2}))
    case(f"{method}/generator", TypeError)(lambda m=bound: m(generator()))
    case(f"{method}/failing-sequence", ValueError)(lambda m=bound, a=good: m(FailingSeq(a, 1, ValueError, length=RuntimeError)))
    case(f"{method}/receiver", TypeError)(
        lambda name=method, a=good: getattr(Codec, name)(object(), a)
    )
    case(f"{method}/twice", TypeError)(
        lambda m=bound, a=good, p=PARAMETER[method]: m(a, **{p: a})
    )
    if method in WITH_GZIP:
        gz_good = GZIP_PAYLOAD if method.startswith("decode") else good
        case(f"{method}/gzip")(lambda m=bound, a=gz_good: m(a, gzip=True))
        case(f"{method}/gzip-none", TypeError)(lambda m=bound, a=good: m(a, gzip=None))
        case(f"{method}/gzip-int", TypeError)(lambda m=bound, a=good: m(a, gzip=1))

for method in INTEGER_METHODS:
    bound = getattr(codec, method)
    case(f"{method}/index-elements")(
        lambda m=bound, a=GOOD[method]: m([Index(v) for v in a])
    )
    case(f"{method}/float-element", TypeError)(lambda m=bound: m([1, 1.0]))
    case(f"{method}/str-element", TypeError)(lambda m=bound: m([1, "1"]))
    case(f"{method}/beyond-64-bits", OverflowError)(lambda m=bound: m([1, HUGE]))
    case(f"{method}/index-raises", ZeroDivisionError)(
        lambda m=bound: m([1, Index(1), BadIndex()])
    )

case("encode_tokens/int-element", TypeError)(lambda: codec.encode_tokens([TOKENS[0], 5]))
case("encode_tokens/surrogate-element", UnicodeEncodeError)(
    lambda: codec.encode_tokens([TOKENS[0], "\ud800"])
)
case("encode_tokens/TokenNotFound", KeyError)(
    lambda: codec.encode_tokens([TOKENS[0], "\x00no such token\x00", TOKENS[1]])
)
for method, value in (
    ("encode_token_ids", -1),
    ("encode_token_ids", 2**32),
    ("encode_raw_token_ids", 2**32),
    ("token_id_to_mapped_id", -1),
    ("encode_mapped_ids", 2**31),
    ("mapped_id_to_token_id", -(2**31) - 1),
    ("decode_mapped_ids", 256),
    ("decode_tokens", -1),
):
    case(f"{method}/out-of-range/{value}", OverflowError)(
        lambda m=getattr(codec, method), v=value: m([1, v])
    )
case("encode_token_ids/TokenIdNotFound", KeyError)(
    lambda: codec.encode_token_ids([0, 2**32 - 1])
)
case("token_id_to_mapped_id/TokenIdNotFound", KeyError)(
    lambda: codec.token_id_to_mapped_id([0, 2**32 - 1])
)
case("mapped_id_to_token_id/MappedIdNotFound", KeyError)(
    lambda: codec.mapped_id_to_token_id([MAPPED[0], 2147483647])
)
for method in ("decode_tokens", "decode_token_ids"):
    case(f"{method}/MappedIdNotFound", KeyError)(
        lambda m=getattr(codec, method): m(UNMAPPED_PAYLOAD)
    )
for method in ("decode_mapped_ids", "decode_tokens", "decode_token_ids"):
    bound = getattr(codec, method)
    case(f"{method}/InvalidPayload", Exception)(lambda m=bound: m([0x19, 0x35, 0x00]))
    case(f"{method}/plain-as-gzip", Exception)(lambda m=bound: m(PAYLOAD, gzip=True))
    case(f"{method}/gzip-as-plain", Exception)(lambda m=bound: m(GZIP_PAYLOAD))
    case(f"{method}/gzip-checksum", Exception)(
        lambda m=bound: m(GZIP_PAYLOAD[:-8] + [0, 0, 0, 0] + GZIP_PAYLOAD[-4:], gzip=True)
    )

# --- The buffer API -----------------------------------------------------------
ID_ARRAY = array.array("I", IDS)
WIDE_IDS = array.array("q", IDS)
BAD_ID_ARRAY = array.array("q", [0, 2**32 - 1])
TWO_DOCUMENTS = array.array("q", [0, 1, 3])
for gz in (False, True):
    payload = bytes(GZIP_PAYLOAD if gz else PAYLOAD)
    case(f"pack/gzip={gz}")(lambda gz=gz: pack(ID_ARRAY, "cl100k_base", gzip=gz))
    case(f"unpack/gzip={gz}")(lambda gz=gz, p=payload: unpack(p, codec, gzip=gz))
    case(f"pack_many/gzip={gz}")(
        lambda gz=gz: pack_many(WIDE_IDS, TWO_DOCUMENTS, "cl100k_base", gzip=gz)
    )
    case(f"unpack_many/gzip={gz}")(
        lambda gz=gz, p=payload: unpack_many(p * 2, [0, len(p), 2 * len(p)], codec, gzip=gz)
    )
case("pack/strided")(lambda: pack(memoryview(WIDE_IDS)[::2], "cl100k_base"))
case("pack/list")(lambda: pack(IDS, codec))
case("unpack/list")(lambda: unpack(PAYLOAD, "cl100k_base"))
case("pack/float-buffer", TypeError)(lambda: pack(array.array("d", [1.0]), "cl100k_base"))
case("pack/negative", OverflowError)(lambda: pack(array.array("b", [1, -1]), "cl100k_base"))
case("pack/TokenIdNotFound", KeyError)(lambda: pack(BAD_ID_ARRAY, "cl100k_base"))
case("pack/tokenizer-type", TypeError)(lambda: pack(ID_ARRAY, 5))
case("pack/TokenizerNotFound", Exception)(lambda: pack(ID_ARRAY, "nope"))
case("pack/missing", TypeError)(lambda: pack(ID_ARRAY))
case("unpack/InvalidPayload", Exception)(lambda: unpack(bytes(PAYLOAD[:-1]), "cl100k_base"))
case("unpack/byte-range", OverflowError)(lambda: unpack(array.array("H", [300]), "cl100k_base"))
case("pack_many/offsets", ValueError)(lambda: pack_many(WIDE_IDS, [0, 2], "cl100k_base"))
case("pack_many/offset-element", TypeError)(lambda: pack_many(WIDE_IDS, [0, 1.0], "cl100k_base"))
case("pack_many/TokenIdNotFound", KeyError)(
    lambda: pack_many(BAD_ID_ARRAY, [0, 1, 2], "cl100k_base")
)
case("pack_many/negative", OverflowError)(
    lambda: pack_many(array.array("q", [1, -1]), [0, 1, 2], "cl100k_base")
)
case("unpack_many/InvalidPayload", Exception)(
    lambda: unpack_many(bytes(PAYLOAD[:-1]), [0, len(PAYLOAD) - 1], "cl100k_base")
)


def call(function: Callable[[], object], expected: type[BaseException] | None) -> None:
    if expected is None:
        function()
        return
    try:
        function()
    except expected:
        return
    raise AssertionError(f"expected {expected.__name__}")


def run(function: Callable[[], object], expected: type[BaseException] | None, n: int) -> None:
    for _ in range(n):
        call(function, expected)


def check_exact_exception(function: Callable[[], object], expected: type[BaseException]) -> None:
    # `Exception` cases must raise Exception itself (a core error), not some
    # subclass from an earlier step, or the case would not reach its path.
    try:
        function()
    except BaseException as error:  # noqa: BLE001
        assert isinstance(error, expected), repr(error)
        if expected is Exception:
            assert type(error) is Exception, repr(error)
    else:
        raise AssertionError(f"expected {expected.__name__}")


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    # Objects that earlier tests left alive (whole data sets, for one) make
    # every gc.collect() below walk them; freezing them keeps each
    # collection to what the calls themselves made.
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize(
    ("function", "expected"),
    [pytest.param(function, expected, id=name) for name, function, expected in CASES],
)
def test_entry_point_does_not_leak(function, expected):
    if expected is not None:
        check_exact_exception(function, expected)
    run(function, expected, WARM_UP)
    if CALLS < MEASURED_CALLS:
        run(function, expected, CALLS)
        return
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        before = sys.gettotalrefcount()
        run(function, expected, CALLS)
        gc.collect()
        growth = sys.gettotalrefcount() - before
        assert growth < REFCOUNT_SLACK, f"{growth} references after {CALLS} calls"
        return
    tracemalloc.start()
    try:
        run(function, expected, WARM_UP)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        run(function, expected, CALLS)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    growth = after - before
    assert growth < TRACED_SLACK, f"{growth} bytes traced after {CALLS} calls"


def test_a_leak_is_detected():
    # The measurement itself: one reference lost per call, to a new int (the
    # smallest object an entry point makes), must fail the check.
    if CALLS < MEASURED_CALLS:
        pytest.skip("too few calls to measure")
    numbers = itertools.count(10**6)

    def leaky() -> None:
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(next(numbers)))

    if hasattr(sys, "gettotalrefcount"):
        before = sys.gettotalrefcount()
        run(leaky, None, CALLS)
        assert sys.gettotalrefcount() - before >= REFCOUNT_SLACK
    else:
        tracemalloc.start()
        try:
            before, _ = tracemalloc.get_traced_memory()
            run(leaky, None, CALLS)
            after, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert after - before >= TRACED_SLACK
