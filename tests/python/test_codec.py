"""The Codec class: the type, construction, results and core errors."""

from __future__ import annotations

import gc
import random
import sys
import weakref

import pytest

from conftest import TOKENIZERS
from vonk._internal import Codec, compress_token_ids, decompress_token_ids

EMPTY_PAYLOAD = [0x19, 0x05, 0x00]
GZIP_HEADER = [0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF]
NAMES = ", ".join(TOKENIZERS)

ENCODERS = ["encode_tokens", "encode_token_ids", "encode_mapped_ids", "encode_raw_token_ids"]
DECODERS = ["decode_mapped_ids", "decode_tokens", "decode_token_ids"]


def sample_ids(record_count: int, count: int = 300, seed: int = 7) -> list[int]:
    """`count` distinct real token ids, with the first and the last id."""
    ids = random.Random(seed).sample(range(1, record_count - 1), count - 2)
    return [0, *ids, record_count - 1]


# --- The type -----------------------------------------------------------------


def test_type_reports_builtins_as_module():
    assert Codec.__module__ == "builtins"
    assert Codec.__name__ == "Codec"
    assert Codec.__qualname__ == "Codec"
    assert Codec.__bases__ == (object,)


def test_type_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Derived(Codec):  # noqa: F841
            pass


def test_constructor_is_new_without_init():
    assert "__new__" in Codec.__dict__
    assert "__init__" not in Codec.__dict__


def test_instances_have_no_dict_and_no_weakrefs(codec):
    assert not hasattr(codec, "__dict__")
    with pytest.raises(AttributeError):
        codec.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(codec)


def test_tokenizer_name_is_a_read_only_property(codec):
    descriptor = Codec.__dict__["tokenizer_name"]
    assert descriptor.__doc__ == ""
    with pytest.raises(AttributeError):
        codec.tokenizer_name = "gpt2"
    with pytest.raises(AttributeError):
        del codec.tokenizer_name
    assert codec.tokenizer_name == "cl100k_base"


def test_tokenizer_name_is_the_name_passed(tokenizer_name):
    codec = Codec(tokenizer_name)
    assert codec.tokenizer_name == tokenizer_name
    assert type(codec.tokenizer_name) is str
    assert Codec(tokenizer=tokenizer_name).tokenizer_name == tokenizer_name


def test_tokenizer_name_of_a_str_subclass_argument_is_a_plain_str():
    class Name(str):
        pass

    codec = Codec(Name("gpt2"))
    assert type(codec.tokenizer_name) is str
    assert codec.tokenizer_name == "gpt2"


@pytest.mark.parametrize(
    "name", ["nope", "", "CL100K_BASE", " gpt2", "gpt2 ", "cl100k", "r50k_base\0", "gpt2\u00e9"]
)
def test_unknown_tokenizer_raises_exception_itself(name):
    with pytest.raises(Exception) as caught:
        Codec(name)
    assert type(caught.value) is Exception
    assert caught.value.args == (f"Mapping for tokenizer '{name}' not found. Available: {NAMES}",)


def test_lone_surrogate_tokenizer_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        Codec("gpt2\ud800")


def test_type_reference_count_is_stable_over_instances():
    Codec("gpt2")  # make sure the mapping is loaded
    gc.collect()
    before = sys.getrefcount(Codec)
    for _ in range(200):
        Codec("gpt2")
        for bad in ("nope", 5):
            try:
                Codec(bad)
            except (Exception, TypeError):
                pass
    gc.collect()
    assert sys.getrefcount(Codec) == before


# --- Payload bytes that do not depend on the mapping data ---------------------


def test_empty_inputs(codec):
    for name in ENCODERS:
        assert getattr(codec, name)([]) == EMPTY_PAYLOAD
    for name in DECODERS:
        assert getattr(codec, name)(EMPTY_PAYLOAD) == []
    assert codec.token_id_to_mapped_id([]) == []
    assert codec.mapped_id_to_token_id([]) == []


def test_empty_gzip_payload_bytes(codec):
    wrapped = codec.encode_mapped_ids([], gzip=True)
    assert wrapped[:10] == GZIP_HEADER
    # CRC-32 of 19 05 00, then ISIZE 3.
    assert wrapped[-8:] == [0xA8, 0xB5, 0xC1, 0x91, 0x03, 0x00, 0x00, 0x00]
    for name in DECODERS:
        assert getattr(codec, name)(wrapped, gzip=True) == []


@pytest.mark.parametrize(
    "mapped_ids, payload",
    [
        ([0, 1, -1], [0x19, 0x35, 0x00, 0x02, 0x01, 0x00]),
        (
            list(range(15)),
            [0x19, 0xF5, 0x0F] + [2 * i for i in range(15)] + [0x00],
        ),
        ([2147483647], [0x19, 0x15, 0xFE, 0xFF, 0xFF, 0xFF, 0x0F, 0x00]),
        ([-2147483648], [0x19, 0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00]),
        ([64, -64, 300], [0x19, 0x35, 0x80, 0x01, 0x7F, 0xD8, 0x04, 0x00]),
    ],
)
def test_encode_mapped_ids_bytes(codec, mapped_ids, payload):
    assert codec.encode_mapped_ids(mapped_ids) == payload
    assert codec.decode_mapped_ids(payload) == mapped_ids
    assert codec.decode_mapped_ids(bytes(payload)) == mapped_ids


def test_encode_raw_token_ids_reinterprets_as_i32(codec):
    raw = [0, 1, 2147483647, 2147483648, 4294967295]
    assert codec.encode_raw_token_ids([4294967295]) == codec.encode_mapped_ids([-1])
    payload = codec.encode_raw_token_ids(raw, gzip=True)
    assert codec.decode_mapped_ids(payload, gzip=True) == [0, 1, 2147483647, -2147483648, -1]


def test_results_are_new_lists_of_plain_ints(codec):
    payload = codec.encode_mapped_ids([5, -5])
    again = codec.encode_mapped_ids([5, -5])
    assert payload == again and payload is not again
    assert all(type(b) is int and 0 <= b <= 255 for b in payload)


# --- Payload errors -------------------------------------------------------------


@pytest.mark.parametrize(
    "payload, gzip, reason",
    [
        ([], False, "end of file"),
        ([0x00], False, "Payload missing tokens field"),
        ([0x19], False, "end of file"),
        ([0x29, 0x05, 0x00], False, "Expected LIST field with id 1"),
        ([0x19, 0x06, 0x00], False, "Expected I32 elements"),
        ([0x1D, 0x05, 0x00], False, "bad data"),
        ([0x19, 0x15, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01], False, "transport error"),
        ([0x19, 0x05, 0x15, 0x00], False, "Unexpected fields in payload"),
        ([], True, "Gzip decompression failed: unexpected end of file"),
        (EMPTY_PAYLOAD, True, "Gzip decompression failed: unexpected end of file"),
        ([0] * 12, True, "Gzip decompression failed: invalid gzip header"),
    ],
)
def test_invalid_payload_raises_exception_itself(codec, payload, gzip, reason):
    for name in DECODERS:
        with pytest.raises(Exception) as caught:
            getattr(codec, name)(payload, gzip=gzip)
        assert type(caught.value) is Exception
        assert caught.value.args == (f"Invalid payload: {reason}",)


def test_gzip_flag_must_match(codec):
    plain = codec.encode_mapped_ids([1, 2, 3])
    wrapped = codec.encode_mapped_ids([1, 2, 3], gzip=True)
    with pytest.raises(Exception, match=r"^Invalid payload: bad data$"):
        codec.decode_mapped_ids(wrapped)
    with pytest.raises(Exception, match=r"^Invalid payload: Gzip decompression failed: "):
        codec.decode_mapped_ids(plain + [0] * 10, gzip=True)


# --- Translations against the mapping data -----------------------------------------


def test_translations_match_the_data(tokenizer_name, codecs, samples):
    codec, data = codecs(tokenizer_name), samples(tokenizer_name)
    assert codec.token_id_to_mapped_id(data.token_ids) == data.mapped_ids
    assert codec.mapped_id_to_token_id(data.mapped_ids) == data.token_ids
    payload = codec.encode_token_ids(data.token_ids)
    assert payload == codec.encode_mapped_ids(data.mapped_ids)
    assert codec.decode_mapped_ids(payload) == data.mapped_ids
    assert codec.decode_tokens(payload) == data.tokens
    # Texts that belong to one record only encode to that record's id.
    unique = [
        (text, token_id)
        for text, token_id in zip(data.tokens, data.token_ids)
        if "\ufffd" not in text
    ]
    texts = [text for text, _ in unique]
    assert codec.encode_tokens(texts) == codec.encode_token_ids([i for _, i in unique])


@pytest.mark.parametrize("gzip", [False, True])
def test_token_id_round_trip(tokenizer_name, codecs, samples, gzip):
    codec = codecs(tokenizer_name)
    ids = sample_ids(samples(tokenizer_name).record_count)
    payload = codec.encode_token_ids(ids, gzip=gzip)
    if gzip:
        assert payload[:10] == GZIP_HEADER
    for form in (payload, bytes(payload), bytearray(payload), tuple(payload)):
        assert codec.decode_token_ids(form, gzip=gzip) == ids
    assert compress_token_ids(ids, tokenizer_name, gzip=gzip) == payload
    assert decompress_token_ids(payload, tokenizer_name, gzip=gzip) == ids
    mapped = codec.token_id_to_mapped_id(ids)
    assert codec.decode_mapped_ids(payload, gzip=gzip) == mapped
    assert codec.mapped_id_to_token_id(mapped) == ids
    assert codec.encode_mapped_ids(mapped, gzip=gzip) == payload


@pytest.mark.parametrize("gzip", [False, True])
def test_token_text_round_trip(tokenizer_name, codecs, samples, gzip):
    codec = codecs(tokenizer_name)
    ids = sample_ids(samples(tokenizer_name).record_count, seed=11)
    tokens = codec.decode_tokens(codec.encode_token_ids(ids, gzip=gzip), gzip=gzip)
    assert len(tokens) == len(ids) and all(type(t) is str for t in tokens)
    # Texts shared by several ids encode to one of them, and that id decodes
    # to the same text.
    payload = codec.encode_tokens(tokens, gzip=gzip)
    assert codec.decode_tokens(payload, gzip=gzip) == tokens


def test_gpt2_translates_like_r50k_base(codecs, samples):
    gpt2, r50k = codecs("gpt2"), codecs("r50k_base")
    ids = sample_ids(samples("gpt2").record_count, count=500)
    assert gpt2.token_id_to_mapped_id(ids) == r50k.token_id_to_mapped_id(ids)
    payload = gpt2.encode_token_ids(ids)
    assert r50k.decode_tokens(payload) == gpt2.decode_tokens(payload)
    assert compress_token_ids(ids, "gpt2") == compress_token_ids(ids, "r50k_base")


# --- Lookup misses --------------------------------------------------------------------


def assert_key_error(caught, message):
    assert type(caught.value) is KeyError
    assert caught.value.args == (message,)


def test_unknown_token_id(tokenizer_name, codecs, samples):
    codec, n = codecs(tokenizer_name), samples(tokenizer_name).record_count
    for call in (
        lambda: codec.encode_token_ids([0, n, n + 1]),
        lambda: codec.token_id_to_mapped_id([n - 1, n, 4294967295]),
        lambda: compress_token_ids([n], tokenizer_name),
    ):
        with pytest.raises(KeyError) as caught:
            call()
        assert_key_error(caught, f"Token ID {n} not found in mapping")
    with pytest.raises(KeyError) as caught:
        codec.encode_token_ids([4294967295])
    assert_key_error(caught, "Token ID 4294967295 not found in mapping")


def test_unknown_mapped_id(tokenizer_name, codecs, samples):
    codec, n = codecs(tokenizer_name), samples(tokenizer_name).record_count
    # Mapped ids run from -((n-1)//2) to n//2.
    low, high = -((n - 1) // 2), n // 2
    edges = codec.mapped_id_to_token_id([low, high])
    assert codec.token_id_to_mapped_id(edges) == [low, high]
    payload = codec.encode_mapped_ids([0, high + 1, low - 1])
    for call in (
        lambda: codec.decode_tokens(payload),
        lambda: codec.decode_token_ids(payload),
        lambda: codec.mapped_id_to_token_id([0, high + 1, low - 1]),
        lambda: decompress_token_ids(payload, tokenizer_name),
    ):
        with pytest.raises(KeyError) as caught:
            call()
        assert_key_error(caught, f"Mapped ID {high + 1} not found in reverse mapping")
    with pytest.raises(KeyError) as caught:
        codec.mapped_id_to_token_id([-2147483648])
    assert_key_error(caught, "Mapped ID -2147483648 not found in reverse mapping")


@pytest.mark.parametrize(
    "missing",
    ["this is no token at all", "it's\nnot 'one'", "\u2603\u2603\u2603 snowmen", ""],
)
def test_unknown_token_text(codec, missing):
    with pytest.raises(KeyError) as caught:
        codec.encode_tokens([",", missing, ".", "another missing text"])
    assert_key_error(caught, f"Token '{missing}' not found in mapping")


def test_core_errors_are_caught_by_an_exception_handler(codec):
    payload = codec.encode_mapped_ids([2**31 - 1])
    for call in (lambda: codec.decode_tokens(payload), lambda: codec.decode_tokens([])):
        try:
            call()
        except Exception as error:  # noqa: BLE001
            assert not isinstance(error, ValueError)
        else:
            pytest.fail("no exception")


def test_failed_calls_leave_the_codec_usable(codec):
    before = codec.encode_token_ids([1, 2, 3])
    for bad in ([2**31], ["x"], "x"):
        with pytest.raises((KeyError, TypeError, OverflowError)):
            codec.encode_token_ids(bad)
    assert codec.encode_token_ids([1, 2, 3]) == before


def test_single_byte_tokens(tokenizer_name, codecs):
    # Ids 0-93 are "!" to "~", 188-219 are U+0000 to U+001F, 220 is " " and
    # 221 is U+007F in every data set; NUL and control texts cross intact.
    codec = codecs(tokenizer_name)
    ids = [*range(0, 94), *range(188, 222)]
    texts = [chr(c) for c in range(0x21, 0x7F)] + [chr(c) for c in range(0x20)] + [" ", "\x7f"]
    payload = codec.encode_token_ids(ids, gzip=True)
    assert codec.decode_tokens(payload, gzip=True) == texts
    assert codec.encode_tokens(texts, gzip=True) == payload
