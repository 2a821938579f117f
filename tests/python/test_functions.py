"""compress_token_ids and decompress_token_ids."""

from __future__ import annotations

import pytest

from conftest import TOKENIZERS
from vonk._internal import compress_token_ids, decompress_token_ids

EMPTY_PAYLOAD = [25, 5, 0]
NOT_FOUND = f"Mapping for tokenizer 'nope' not found. Available: {', '.join(TOKENIZERS)}"


@pytest.mark.parametrize("gzip", [False, True])
def test_functions_match_the_methods(tokenizer_name, codecs, samples, gzip):
    codec = codecs(tokenizer_name)
    ids = samples(tokenizer_name).token_ids[::-1] + [0, 0, 1]
    payload = compress_token_ids(ids, tokenizer_name, gzip=gzip)
    assert payload == codec.encode_token_ids(ids, gzip=gzip)
    assert decompress_token_ids(payload, tokenizer_name, gzip=gzip) == ids
    assert decompress_token_ids(payload, tokenizer_name, gzip=gzip) == codec.decode_token_ids(
        payload, gzip=gzip
    )


def test_empty_list():
    assert compress_token_ids([], "cl100k_base") == EMPTY_PAYLOAD
    assert decompress_token_ids(EMPTY_PAYLOAD, "cl100k_base") == []


@pytest.mark.parametrize(
    "call",
    [
        lambda: compress_token_ids(token_ids=[1, 2], tokenizer="p50k_base"),
        lambda: compress_token_ids([1, 2], tokenizer="p50k_base"),
        lambda: compress_token_ids(tokenizer="p50k_base", token_ids=(1, 2), gzip=False),
    ],
)
def test_arguments_by_keyword(call):
    assert call() == compress_token_ids([1, 2], "p50k_base")


def test_decompress_by_keyword():
    payload = compress_token_ids([3, 4], "p50k_edit", gzip=True)
    assert decompress_token_ids(payload=payload, tokenizer="p50k_edit", gzip=True) == [3, 4]
    assert decompress_token_ids(gzip=True, tokenizer="p50k_edit", payload=bytes(payload)) == [3, 4]


def test_unknown_tokenizer():
    for call in (
        lambda: compress_token_ids([1], "nope"),
        lambda: decompress_token_ids(EMPTY_PAYLOAD, "nope"),
        lambda: compress_token_ids([], "nope", gzip=True),
    ):
        with pytest.raises(Exception) as caught:
            call()
        assert type(caught.value) is Exception
        assert caught.value.args == (NOT_FOUND,)


@pytest.mark.parametrize(
    "call, message",
    [
        # Arguments are converted before the tokenizer is opened.
        (
            lambda: compress_token_ids("hello", "nope"),
            "argument 'token_ids': Can't extract `str` to `Vec`",
        ),
        (
            lambda: decompress_token_ids(5, "nope"),
            "argument 'payload': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: compress_token_ids([1], "nope", gzip=None),
            "argument 'gzip': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: decompress_token_ids([], "gpt2", True),
            "decompress_token_ids() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: compress_token_ids([], "gpt2", True),
            "compress_token_ids() takes 2 positional arguments but 3 were given",
        ),
    ],
)
def test_argument_errors_come_before_the_tokenizer(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)


def test_invalid_payload():
    with pytest.raises(Exception) as caught:
        decompress_token_ids([], "gpt2")
    assert type(caught.value) is Exception
    assert caught.value.args == ("Invalid payload: end of file",)
    with pytest.raises(Exception, match="^Invalid payload: Gzip decompression failed: "):
        decompress_token_ids(EMPTY_PAYLOAD, "gpt2", gzip=True)


def test_gpt2_behaves_as_r50k_base(samples):
    ids = samples("gpt2").token_ids
    payload = compress_token_ids(ids, "gpt2", gzip=True)
    assert payload == compress_token_ids(ids, "r50k_base", gzip=True)
    assert decompress_token_ids(payload, "r50k_base", gzip=True) == ids

