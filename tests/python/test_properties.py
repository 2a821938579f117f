"""Property-based round trips and robustness against arbitrary payloads."""

from __future__ import annotations

import gzip as gzip_module

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import TOKENIZERS
from vonk._internal import Codec, compress_token_ids, decompress_token_ids

I32 = st.integers(-(2**31), 2**31 - 1)
U32 = st.integers(0, 2**32 - 1)
TOKENIZER_NAMES = st.sampled_from(TOKENIZERS)
OUT_OF_RANGE = "out of range integral type conversion attempted"

# Fixtures reused across examples are session-scoped and never changed.
SETTINGS = settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)


@pytest.fixture(scope="module")
def codec():
    return Codec("cl100k_base")


@SETTINGS
@given(mapped_ids=st.lists(I32, max_size=300), gzip=st.booleans())
def test_mapped_ids_round_trip(codec, mapped_ids, gzip):
    payload = codec.encode_mapped_ids(mapped_ids, gzip=gzip)
    assert all(type(b) is int and 0 <= b <= 255 for b in payload)
    assert codec.decode_mapped_ids(payload, gzip=gzip) == mapped_ids
    assert codec.decode_mapped_ids(bytes(payload), gzip=gzip) == mapped_ids
    if gzip:  # the member is an ordinary gzip file of the plain payload
        assert list(gzip_module.decompress(bytes(payload))) == codec.encode_mapped_ids(mapped_ids)


@SETTINGS
@given(token_ids=st.lists(U32, max_size=100), gzip=st.booleans())
def test_raw_token_ids_read_back_as_i32(codec, token_ids, gzip):
    payload = codec.encode_raw_token_ids(token_ids, gzip=gzip)
    expected = [t - 2**32 if t >= 2**31 else t for t in token_ids]
    assert codec.decode_mapped_ids(payload, gzip=gzip) == expected
    assert payload == codec.encode_mapped_ids(expected, gzip=gzip)


@SETTINGS
@given(data=st.data(), name=TOKENIZER_NAMES, gzip=st.booleans())
def test_token_ids_round_trip(codecs, samples, data, name, gzip):
    codec = codecs(name)
    n = samples(name).record_count
    token_ids = data.draw(st.lists(st.integers(0, n - 1), max_size=200))
    payload = codec.encode_token_ids(token_ids, gzip=gzip)
    assert codec.decode_token_ids(payload, gzip=gzip) == token_ids
    assert decompress_token_ids(bytearray(payload), name, gzip=gzip) == token_ids
    assert compress_token_ids(tuple(token_ids), name, gzip=gzip) == payload
    mapped = codec.token_id_to_mapped_id(token_ids)
    assert codec.mapped_id_to_token_id(mapped) == token_ids
    assert codec.decode_mapped_ids(payload, gzip=gzip) == mapped
    # Token texts survive a round trip through their stored mapped ids.
    tokens = codec.decode_tokens(payload, gzip=gzip)
    assert codec.decode_tokens(codec.encode_tokens(tokens, gzip=gzip), gzip=gzip) == tokens


@SETTINGS
@given(data=st.data(), name=TOKENIZER_NAMES)
def test_mapped_ids_of_the_data_set_translate_back(codecs, samples, data, name):
    codec = codecs(name)
    n = samples(name).record_count
    mapped = data.draw(st.lists(st.integers(-((n - 1) // 2), n // 2), max_size=100))
    token_ids = codec.mapped_id_to_token_id(mapped)
    assert all(0 <= t < n for t in token_ids)
    assert codec.token_id_to_mapped_id(token_ids) == mapped


def check_payload(codec, payload: bytes, gzip: bool) -> None:
    """Decoding arbitrary bytes returns mapped ids or raises the
    "Invalid payload: " Exception, the same for every form of the bytes."""
    outcomes = []
    for form in (payload, bytearray(payload), list(payload), tuple(payload)):
        try:
            outcomes.append(("ok", codec.decode_mapped_ids(form, gzip=gzip)))
        except Exception as error:  # noqa: BLE001
            assert type(error) is Exception, repr(error)
            assert len(error.args) == 1 and error.args[0].startswith("Invalid payload: ")
            outcomes.append(("error", error.args[0]))
    assert all(outcome == outcomes[0] for outcome in outcomes)
    kind, value = outcomes[0]
    if kind == "ok":
        assert codec.decode_mapped_ids(codec.encode_mapped_ids(value, gzip=gzip), gzip=gzip) == value


@SETTINGS
@given(payload=st.binary(max_size=64), gzip=st.booleans())
def test_arbitrary_bytes_never_crash(codec, payload, gzip):
    check_payload(codec, payload, gzip)


@SETTINGS
@given(body=st.binary(max_size=48))
def test_bytes_after_a_list_header_never_crash(codec, body):
    # Start like a payload so that the reader gets past the field header.
    check_payload(codec, b"\x19" + body, False)


@SETTINGS
@given(
    mapped_ids=st.lists(I32, max_size=40),
    gzip=st.booleans(),
    edits=st.lists(st.tuples(st.integers(0, 10**6), st.integers(0, 255)), min_size=1, max_size=4),
    cut=st.integers(0, 10**6),
)
def test_damaged_payloads_never_crash(codec, mapped_ids, gzip, edits, cut):
    payload = bytearray(codec.encode_mapped_ids(mapped_ids, gzip=gzip))
    for position, value in edits:
        payload[position % len(payload)] = value
    payload = payload[: max(0, len(payload) - cut % 4)]
    check_payload(codec, bytes(payload), gzip)


@SETTINGS
@given(values=st.lists(st.integers(-(2**40), 2**40), max_size=20))
def test_integer_range_checks(codec, values):
    in_i32 = [-(2**31) <= v < 2**31 for v in values]
    in_u32 = [0 <= v < 2**32 for v in values]
    for call, fits in (
        (codec.encode_mapped_ids, in_i32),
        (codec.encode_raw_token_ids, in_u32),
        (codec.decode_mapped_ids, [0 <= v <= 255 for v in values]),
    ):
        if all(fits):
            try:
                call(values)
            except Exception as error:  # noqa: BLE001
                # Only a payload error is possible for in-range bytes.
                assert error.args[0].startswith("Invalid payload: ")
        else:
            with pytest.raises(OverflowError) as caught:
                call(values)
            assert caught.value.args == (OUT_OF_RANGE,)


@SETTINGS
@given(data=st.data())
def test_first_failing_element_decides(codec, data):
    good = st.integers(0, 1000)
    prefix = data.draw(st.lists(good, max_size=5))
    bad = data.draw(st.sampled_from([-1, 2**32, 1.5, "1", None]))
    suffix = data.draw(st.lists(st.one_of(good, st.sampled_from([-1, 1.5, "x"])), max_size=5))
    with pytest.raises((OverflowError, TypeError)) as caught:
        codec.token_id_to_mapped_id(prefix + [bad] + suffix)
    if isinstance(bad, int):
        assert type(caught.value) is OverflowError
    else:
        assert type(caught.value) is TypeError
        assert str(caught.value).startswith("argument 'token_ids': ")
