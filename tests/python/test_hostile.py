"""Hostile payloads through both APIs: declared sizes that the input does
not back, maximal gzip header fields, and a member that inflates a
thousandfold. Each ends in a clear error or the right ids (the buffer API's
unpack gives what the list API's decode_token_ids gives), and the peak
memory of the decode, measured in a fresh interpreter, stays within a bound
set by what the input really produces.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import vonk._internal

MIB = 1 << 20
ZEROS = 100 * MIB

# Builders of the hostile inputs, run in the child interpreter. Each leaves
# `payload` (bytes) and `gzip` (bool).
INPUTS = {
    # A list header declaring 2^31 - 1 ids, then three one-byte ids.
    "huge-count": """
        payload = bytes([0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x02, 0x04, 0x06])
        gzip = False
    """,
    "huge-count-gzip": """
        import zlib
        body = bytes([0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x02, 0x04, 0x06])
        c = zlib.compressobj(6, zlib.DEFLATED, 31)
        payload = c.compress(body) + c.flush()
        gzip = True
    """,
    # A header declaring 10M ids before 10 MiB that fail at the first one.
    "declared-10M": """
        payload = bytes([0x19, 0xF5, 0x80, 0xAD, 0xE2, 0x04]) + b"\\xff" * (10 << 20)
        gzip = False
    """,
    # The member of [1] whose trailer declares 4 GiB - 1 bytes.
    "huge-isize": """
        member = bytes(codec.encode_mapped_ids([1], gzip=True))
        payload = member[:-4] + b"\\xff\\xff\\xff\\xff"
        gzip = True
    """,
    # The member of [0, 1, -1] with a 65535-byte name and comment.
    "longest-name-and-comment": """
        member = bytes(codec.encode_mapped_ids([0, 1, -1], gzip=True))
        payload = (member[:3] + b"\\x18" + member[4:10] + b"n" * 65535 + b"\\0"
                   + b"c" * 65535 + b"\\0" + member[10:])
        gzip = True
    """,
    # 100 MiB of zeros in one member, deflated piecewise so that the zeros
    # never exist in memory at once.
    "zeros": f"""
        import zlib
        c = zlib.compressobj(9, zlib.DEFLATED, 31)
        piece = bytes({MIB})
        payload = b"".join(c.compress(piece) for _ in range({ZEROS // MIB})) + c.flush()
        del piece
        gzip = True
    """,
}

CHILD = """
import json, sys
import vonk
from vonk._internal import Codec

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    raise RuntimeError(key)

codec = Codec("cl100k_base")
{build}
# Reset the peak to the current size where the kernel allows it; either way
# peak-after minus size-before bounds the growth from above.
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
before = status("VmRSS:")
def outcome(decode):
    try:
        return list(decode())
    except Exception as error:
        return f"{{type(error).__name__}}: {{error}}"
if {buffer_api}:
    result = outcome(lambda: vonk.unpack(payload, codec, gzip=gzip))
else:
    result = outcome(lambda: codec.decode_mapped_ids(payload, gzip=gzip))
growth = status("VmHWM:") - before
reference = outcome(lambda: codec.decode_token_ids(payload, gzip=gzip))
print(json.dumps({{"outcome": result, "reference": reference, "growth": growth,
                  "size": len(payload)}}))
"""

EOF = "Exception: Invalid payload: end of file"

CASES = [
    ("huge-count", EOF, 4 * MIB),
    ("huge-count-gzip", EOF, 4 * MIB),
    ("declared-10M", "Exception: Invalid payload: transport error", 4 * MIB),
    (
        "huge-isize",
        "Exception: Invalid payload: Gzip decompression failed: "
        "corrupt gzip stream does not have a matching checksum",
        4 * MIB,
    ),
    ("longest-name-and-comment", [0, 1, -1], 4 * MIB),
    # The unwrapped data sits in a buffer that doubles; for 100 MiB its last
    # doubling goes from 64 to 128 MiB, so the peak is about 1.9 times the
    # data.
    ("zeros", "Exception: Invalid payload: Payload missing tokens field", ZEROS * 5 // 2),
]


def sanitized() -> bool:
    return "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("api", ["list", "buffer"])
@pytest.mark.parametrize(("name", "expected", "bound"), CASES, ids=[c[0] for c in CASES])
def test_hostile_payload_ends_cleanly_within_its_memory_bound(tmp_path, name, expected, bound, api):
    package_parent = pathlib.Path(vonk._internal.__file__).resolve().parents[1]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(package_parent), *filter(None, [env.get("PYTHONPATH")])]
    )
    script = CHILD.format(build=textwrap.dedent(INPUTS[name]), buffer_api=api == "buffer")
    completed = subprocess.run(
        [sys.executable, "-c", script],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert completed.returncode == 0, completed.stderr
    result = json.loads(completed.stdout.splitlines()[-1])
    if api == "list":
        assert result["outcome"] == expected
    else:
        assert result["outcome"] == result["reference"]
    # AddressSanitizer keeps freed blocks resident, so the bound holds only
    # for an ordinary build.
    if not sanitized():
        assert result["growth"] <= bound, (
            f"peak grew by {result['growth']} bytes for an input of {result['size']} bytes"
        )



# Hostile and careless callers of the buffer API, each in a fresh
# interpreter, so that a crash fails the test instead of ending the run.
CALLERS = {
    # A thread that finds unpack's result through the garbage collector and
    # shrinks it while it fills.
    "meddling-thread": """
        import array, gc, threading
        ids = np.resize(np.arange(50_000, dtype=np.uint32), 20_000_000)
        payloads = {g: vonk.pack(ids, "cl100k_base", gzip=g) for g in (False, True)}
        stop = threading.Event()
        def meddle():
            while not stop.is_set():
                for o in gc.get_objects():
                    if type(o) is array.array and o.typecode == "I" and len(o):
                        try:
                            del o[:]
                        except BufferError:
                            pass
        thread = threading.Thread(target=meddle)
        thread.start()
        try:
            for gzip in (False, True):
                vonk.unpack(payloads[gzip], "cl100k_base", gzip=gzip)
        finally:
            stop.set()
            thread.join()
        print("survived")
    """,
    # More ids than a payload can hold, without the memory to hold them.
    "too-many-ids": """
        ids = np.broadcast_to(np.uint32(11), (2**31,))
        for call in (lambda: vonk.pack(ids, "cl100k_base"),
                     lambda: vonk.pack_many(ids, [0, 2**31], "cl100k_base")):
            try:
                call()
            except OverflowError as error:
                print(type(error).__name__, error)
    """,
    # Memory that runs out under an address-space limit.
    "out-of-memory": """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        ids = np.broadcast_to(np.uint32(11), (10**9,))
        for call in (lambda: vonk.pack(ids, "cl100k_base"),
                     lambda: vonk.pack_many(ids, [0, 10**9], "cl100k_base")):
            try:
                call()
            except MemoryError:
                print("MemoryError")
    """,
}

CALLER_OUTPUT = {
    "meddling-thread": "survived",
    "too-many-ids": (
        "OverflowError argument 'token_ids': 2147483648 ids are more than one payload "
        "holds (2147483647)\n"
        "OverflowError argument 'token_ids': 2147483648 ids are more than one payload "
        "holds (2147483647) (document 0)"
    ),
    "out-of-memory": "MemoryError\nMemoryError",
}


@pytest.mark.parametrize("name", CALLERS)
def test_hostile_caller_gets_an_exception_not_a_crash(tmp_path, name):
    pytest.importorskip("numpy")
    if name == "out-of-memory" and sanitized():
        pytest.skip("AddressSanitizer reserves more address space than the limit")
    package_parent = pathlib.Path(vonk._internal.__file__).resolve().parents[1]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(package_parent), *filter(None, [env.get("PYTHONPATH")])]
    )
    script = "import numpy as np\nimport vonk\n" + textwrap.dedent(CALLERS[name])
    completed = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=env,
        capture_output=True, text=True, timeout=600,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == CALLER_OUTPUT[name]
