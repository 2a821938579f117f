"""The buffer API (vonk.pack, unpack, pack_many, unpack_many) against the
list API: the same payloads from every integer layout, the same ids back,
batches equal to their single calls, and the exact exceptions."""

from __future__ import annotations

import array
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vonk
from vonk import Codec, pack, pack_many, unpack, unpack_many

np = pytest.importorskip("numpy")

NAME = "cl100k_base"
CODEC = Codec(NAME)
# Every id below the data set's record count is mapped.
MAPPED_IDS = 100_000

SETTINGS = settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)

DTYPES = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]
# How the array is laid out: packed, every other element of a larger array,
# reversed (a negative stride), or in the opposite byte order.
LAYOUTS = ["packed", "strided", "reversed", "swapped"]


def list_payload(ids: list[int], gzip: bool) -> bytes:
    return bytes(CODEC.encode_token_ids(ids, gzip=gzip))


def laid_out(values: list[int], dtype: str, layout: str):
    base = np.array(values, dtype=dtype)
    if layout == "strided":
        wide = np.zeros(2 * len(values), dtype=dtype)
        wide[::2] = base
        return wide[::2]
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "swapped":
        return base.astype(base.dtype.newbyteorder())
    return base


@st.composite
def id_arrays(draw):
    dtype = draw(st.sampled_from(DTYPES))
    top = min(MAPPED_IDS, int(np.iinfo(dtype).max) + 1)
    values = draw(st.lists(st.integers(0, top - 1), max_size=300))
    return values, laid_out(values, dtype, draw(st.sampled_from(LAYOUTS)))


def check_round_trip(values: list[int], ids, gzip: bool) -> None:
    payload = pack(ids, NAME, gzip=gzip)
    assert type(payload) is bytes
    assert payload == list_payload(values, gzip)
    result = unpack(payload, CODEC, gzip=gzip)
    assert type(result) is array.array and result.typecode == "I"
    assert result.tolist() == values


@SETTINGS
@given(id_arrays(), st.booleans())
def test_every_integer_layout_packs_like_the_list_api(drawn, gzip):
    values, ids = drawn
    check_round_trip(values, ids, gzip)


@pytest.mark.parametrize("size", [0, 1, 2**20])
@pytest.mark.parametrize("gzip", [False, True])
def test_sizes_pack_like_the_list_api(size, gzip):
    values = [(i * 7919) % MAPPED_IDS for i in range(size)]
    check_round_trip(values, np.array(values, dtype=np.int64)[::-1][::-1], gzip)


@pytest.mark.parametrize(
    "make",
    [
        lambda v: array.array("I", v),
        lambda v: array.array("q", v),
        lambda v: memoryview(array.array("H", v)),
        lambda v: memoryview(np.repeat(np.array(v, dtype=np.int32), 2))[::2],
        lambda v: v,  # a list: the list API's conversion
        tuple,
    ],
    ids=["array-I", "array-q", "memoryview-H", "memoryview-strided", "list", "tuple"],
)
def test_other_exporters_and_sequences(make):
    values = [5, 60000, 0, 17, 17, 3]
    assert pack(make(values), NAME) == list_payload(values, False)


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, memoryview, lambda p: np.frombuffer(p, np.uint8), list,
     lambda p: np.frombuffer(p, np.uint8).astype(np.int64),
     lambda p: np.frombuffer(p, np.int8)],
    ids=["bytes", "bytearray", "memoryview", "numpy-uint8", "list", "numpy-int64",
         "numpy-int8"],
)
def test_payloads_of_every_bytes_like_kind(make):
    values = [1, 2, 3, 99999]
    assert unpack(make(list_payload(values, False)), NAME).tolist() == values


def test_the_result_is_shared_with_numpy_not_copied():
    result = unpack(list_payload([7, 8, 9], False), NAME)
    view = np.frombuffer(result, np.uint32)
    assert np.shares_memory(view, np.asarray(result))
    result[0] = 1
    assert view[0] == 1


def outcome(call):
    try:
        return list(call())
    except Exception as error:  # the class and text are what is compared
        return type(error), str(error)


@SETTINGS
@given(st.lists(st.integers(0, MAPPED_IDS - 1), max_size=30), st.booleans(), st.data())
def test_damaged_payloads_fail_like_the_list_api(values, gzip, data):
    # unpack reads a payload whose header looks sound straight into its
    # result; a damaged body, tail or count must end exactly as the list API.
    payload = bytearray(list_payload(values, gzip))
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(payload)))
        action = data.draw(st.sampled_from(["set", "cut", "insert"]))
        if action == "set" and at < len(payload):
            payload[at] = data.draw(st.integers(0, 255))
        elif action == "cut":
            del payload[at:]
        else:
            payload[at:at] = bytes([data.draw(st.integers(0, 255))])
    damaged = bytes(payload)
    assert outcome(lambda: unpack(damaged, NAME, gzip=gzip)) == outcome(
        lambda: CODEC.decode_token_ids(damaged, gzip=gzip))


@st.composite
def batches(draw):
    documents = draw(
        st.lists(st.lists(st.integers(0, MAPPED_IDS - 1), max_size=40), min_size=0, max_size=12)
    )
    offset_type = draw(st.sampled_from(["int32", "int64", "list"]))
    return documents, offset_type


@SETTINGS
@given(batches(), st.booleans())
def test_a_batch_is_its_single_packs_back_to_back(drawn, gzip):
    documents, offset_type = drawn
    flat = [i for d in documents for i in d]
    offsets = [0]
    for d in documents:
        offsets.append(offsets[-1] + len(d))
    given_offsets = offsets if offset_type == "list" else np.array(offsets, dtype=offset_type)
    payloads, payload_offsets = pack_many(np.array(flat, np.uint32), given_offsets, NAME, gzip=gzip)
    singles = [list_payload(d, gzip) for d in documents]
    assert payloads == b"".join(singles)
    assert type(payload_offsets) is array.array and payload_offsets.typecode == "q"
    expected_offsets = [0]
    for s in singles:
        expected_offsets.append(expected_offsets[-1] + len(s))
    assert payload_offsets.tolist() == expected_offsets
    token_ids, id_offsets = unpack_many(payloads, payload_offsets, CODEC, gzip=gzip)
    assert token_ids.typecode == "I" and token_ids.tolist() == flat
    assert id_offsets.typecode == "q" and id_offsets.tolist() == offsets


def list_api_error(call):
    with pytest.raises(BaseException) as caught:
        call()
    return caught.value


IDS = np.array([1, 2, 3], dtype=np.uint32)
PAYLOAD = list_payload([1, 2, 3], False)
ID_RANGE = "outside the token id range 0 to 4294967295"

# Each case: the call, the exact exception type, and its exact message.
BAD = {
    "float-ids": (lambda: pack(np.array([1.0]), NAME), TypeError,
                  "argument 'token_ids': a buffer of floats (format 'd') does not hold integers"),
    "bool-ids": (lambda: pack(np.array([True]), NAME), TypeError,
                 "argument 'token_ids': a buffer of bool (format '?') does not hold integers"),
    "negative-id": (lambda: pack(np.array([4, -1], np.int16), NAME), OverflowError,
                    f"argument 'token_ids': element 1 is -1, {ID_RANGE}"),
    "id-above-u32": (lambda: pack(np.array([2**32], np.uint64), NAME), OverflowError,
                     f"argument 'token_ids': element 0 is 4294967296, {ID_RANGE}"),
    "two-dimensions": (lambda: pack(np.zeros((2, 2), np.uint32), NAME), ValueError,
                       "argument 'token_ids': expected a one-dimensional buffer, got 2 dimensions"),
    "not-a-sequence": (lambda: pack(5, NAME), TypeError,
                       "argument 'token_ids': 'int' object cannot be converted to 'Sequence'"),
    "unmapped-id": (lambda: pack(np.array([0, 2**32 - 1], np.uint32), NAME), KeyError,
                    "'Token ID 4294967295 not found in mapping'"),
    "tokenizer-type": (lambda: pack(IDS, 5), TypeError,
                       "argument 'tokenizer': expected a tokenizer name (str), a vonk.Codec or a vonk.Mapping, "
                       "got 'int'"),
    "unknown-tokenizer": (lambda: pack(IDS, "nope"), Exception,
                          str(list_api_error(lambda: Codec("nope")))),
    "gzip-not-bool": (lambda: pack(IDS, NAME, gzip=1), TypeError,
                      "argument 'gzip': 'int' object cannot be converted to 'PyBool'"),
    "missing-tokenizer": (lambda: unpack(PAYLOAD), TypeError,
                          "unpack() missing 1 required positional argument: 'tokenizer'"),
    "truncated-payload": (lambda: unpack(PAYLOAD[:-1], NAME), Exception,
                          "Invalid payload: end of file"),
    "payload-element": (lambda: unpack(np.array([25, 300], np.int16), NAME), OverflowError,
                        "argument 'payload': element 1 is 300, outside the byte range 0 to 255"),
    "offsets-not-from-zero": (lambda: pack_many(IDS, [1, 3], NAME), ValueError,
                              "argument 'offsets': the first offset is 1, not 0"),
    "offsets-decreasing": (lambda: pack_many(IDS, np.array([0, 2, 1, 3]), NAME), ValueError,
                           "argument 'offsets': offset 2 is 1, below the offset before it (2); "
                           "offsets must not decrease"),
    "offsets-past-the-ids": (lambda: pack_many(IDS, [0, 4], NAME), ValueError,
                             "argument 'offsets': the last offset is 4, but token_ids holds "
                             "3 elements"),
    "offsets-empty": (lambda: pack_many(IDS, [], NAME), ValueError,
                      "argument 'offsets': no offsets; n documents need n+1 offsets starting at 0"),
    "offsets-float": (lambda: pack_many(IDS, np.array([0.0, 3.0]), NAME), TypeError,
                      "argument 'offsets': a buffer of floats (format 'd') does not hold integers"),
    "offsets-huge": (lambda: pack_many(IDS, np.array([0, 2**63], np.uint64), NAME), OverflowError,
                     "argument 'offsets': element 1 is 9223372036854775808, outside the signed "
                     "64-bit range"),
    "payload-offsets-short": (lambda: unpack_many(PAYLOAD, [0, 2], NAME), ValueError,
                              "argument 'payload_offsets': the last offset is 2, but payloads "
                              "holds 7 elements"),
    "batch-unmapped-id": (
        lambda: pack_many(np.array([1, 2**32 - 1, 3], np.int64), [0, 1, 1, 3], NAME), KeyError,
        "'Token ID 4294967295 not found in mapping (document 2)'"),
    "batch-negative-id": (lambda: pack_many(np.array([1, 2, -3], np.int8), [0, 1, 3], NAME),
                          OverflowError, f"argument 'token_ids': element 2 is -3, {ID_RANGE} "
                          "(document 1)"),
    "batch-truncated-payload": (
        lambda: unpack_many(PAYLOAD + PAYLOAD[:-1], [0, 7, 13], NAME), Exception,
        "Invalid payload: end of file (document 1)"),
}


@pytest.mark.parametrize(("call", "kind", "message"), BAD.values(), ids=BAD.keys())
def test_bad_inputs_raise_exactly(call, kind, message):
    with pytest.raises(kind) as caught:
        call()
    assert type(caught.value) is kind
    assert str(caught.value) == message
    if "(document " in message:
        assert caught.value.document == int(message.rsplit(" ", 1)[1].rstrip(")'"))


def raised(call):
    with pytest.raises(Exception) as caught:
        call()
    return type(caught.value), str(caught.value), getattr(caught.value, "document", None)


# The same fault gives the same exception, text and document whatever
# container holds the integers.
SAME_FAULT = {
    "pack": (lambda c: pack(c([1, -1]), NAME), "int64",
             f"argument 'token_ids': element 1 is -1, {ID_RANGE}"),
    "pack-many": (lambda c: pack_many(c([11, 11, -5]), [0, 1, 2, 3], NAME), "int64",
                  f"argument 'token_ids': element 2 is -5, {ID_RANGE} (document 2)"),
    "unpack": (lambda c: unpack(c([25, 256, 0]), NAME), "int64",
               "argument 'payload': element 1 is 256, outside the byte range 0 to 255"),
    "offsets": (lambda c: pack_many([1, 2], c([0, 2**40, 2]), NAME), "uint64",
                "argument 'offsets': offset 2 is 2, below the offset before it "
                "(1099511627776); offsets must not decrease"),
}


@pytest.mark.parametrize(("call", "dtype", "message"), SAME_FAULT.values(), ids=SAME_FAULT.keys())
def test_a_fault_reads_the_same_from_a_list_and_an_array(call, dtype, message):
    from_list = raised(lambda: call(list))
    assert from_list == raised(lambda: call(lambda v: np.array(v, dtype=dtype)))
    assert from_list[1] == message


def test_ints_beyond_64_bits_are_named_with_their_value():
    big = 2**70
    assert raised(lambda: pack([1, big], NAME))[1] == (
        f"argument 'token_ids': element 1 is {big}, {ID_RANGE}")
    assert raised(lambda: pack_many([1, 2, -big], [0, 2, 3], NAME))[1:] == (
        f"argument 'token_ids': element 2 is {-big}, {ID_RANGE} (document 1)", 1)
    assert raised(lambda: unpack([big], NAME))[1] == (
        f"argument 'payload': element 0 is {big}, outside the byte range 0 to 255")
    assert raised(lambda: pack_many([1], [0, big], NAME))[1] == (
        f"argument 'offsets': element 1 is {big}, outside the signed 64-bit range")


def test_inputs_whose_buffer_would_mislead_are_refused():
    masked = np.ma.masked_array([11, 12, 13], mask=[False, True, False])
    kind, message, _ = raised(lambda: pack(masked, NAME))
    assert kind is TypeError and message.startswith("argument 'token_ids': a numpy masked array")
    kind, message, _ = raised(lambda: pack(np.array(["2024-01-01"], dtype="datetime64[D]"), NAME))
    assert kind is TypeError and message.startswith("argument 'token_ids': ")


class BothKinds(array.array):
    """A buffer whose items, read as a sequence, say something else."""

    def __getitem__(self, index):
        return 0

    def __iter__(self):
        return iter([0] * len(self))


def test_an_object_that_is_a_buffer_and_a_sequence_is_read_through_its_buffer():
    both = BothKinds("I", [5, 60000, 17])
    assert pack(both, NAME) == list_payload([5, 60000, 17], False)


def test_four_threads_get_the_single_threaded_results():
    rng = np.random.default_rng(17)
    documents = [rng.integers(0, MAPPED_IDS, 20_000 + i, dtype=np.int64) for i in range(8)]
    expected = [(pack(d, NAME), pack(d, NAME, gzip=True)) for d in documents]
    flat = np.concatenate(documents)
    offsets = np.cumsum([0] + [len(d) for d in documents])
    batch = pack_many(flat, offsets, NAME)
    failures: list[str] = []

    def work(k: int) -> None:
        for round_ in range(6):
            i = (k + round_) % len(documents)
            plain, gz = pack(documents[i], NAME), pack(documents[i], NAME, gzip=True)
            if (plain, gz) != expected[i]:
                failures.append(f"pack {i}")
            if not np.array_equal(np.frombuffer(unpack(gz, NAME, gzip=True), np.uint32),
                                  documents[i]):
                failures.append(f"unpack {i}")
            if pack_many(flat, offsets, NAME) != batch:
                failures.append("pack_many")
            ids, _ = unpack_many(*batch, NAME)
            if not np.array_equal(np.frombuffer(ids, np.uint32), flat):
                failures.append("unpack_many")

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def big_call(name: str):
    ids = np.resize(np.arange(50_000, dtype=np.int64), 4_000_000)
    offsets = np.arange(0, len(ids) + 1, 1000)
    if name == "pack":
        return lambda: pack(ids, NAME)
    if name == "pack_many":
        return lambda: pack_many(ids, offsets, NAME)
    if name == "unpack":
        payload = pack(ids, NAME)
        return lambda: unpack(payload, NAME)
    payloads, payload_offsets = pack_many(ids, offsets, NAME)
    return lambda: unpack_many(payloads, payload_offsets, NAME)


@pytest.mark.parametrize("name", ["pack", "unpack", "pack_many", "unpack_many"])
def test_another_thread_runs_python_during_the_work(name):
    # With the lock held for the whole call, the other thread could run only
    # near its start or end (at a switch between bytecodes); a tick well
    # inside the call shows the lock was released.
    call = big_call(name)
    ticks: list[float] = []
    stop = threading.Event()

    def other() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())

    thread = threading.Thread(target=other)
    thread.start()
    try:
        started = time.perf_counter()
        call()
        ended = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    margin = 0.2 * (ended - started)
    assert ended - started > 0.005, "the call is too short to tell"
    assert any(started + margin < t < ended - margin for t in ticks)
