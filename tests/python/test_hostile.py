"""Hostile payloads through the Python surface: declared sizes that the
input does not back, maximal gzip header fields, and a member that inflates a
thousandfold. Each ends in a clear error or the right ids, and the peak
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
try:
    outcome = codec.decode_mapped_ids(payload, gzip=gzip)
except Exception as error:
    outcome = f"{{type(error).__name__}}: {{error}}"
growth = status("VmHWM:") - before
print(json.dumps({{"outcome": outcome, "growth": growth, "size": len(payload)}}))
"""

EOF = "Exception: Invalid payload: end of file"

CASES = [
    ("huge-count", EOF, 4 * MIB),
    ("huge-count-gzip", EOF, 4 * MIB),
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


@pytest.mark.parametrize(("name", "expected", "bound"), CASES, ids=[c[0] for c in CASES])
def test_hostile_payload_ends_cleanly_within_its_memory_bound(tmp_path, name, expected, bound):
    package_parent = pathlib.Path(vonk._internal.__file__).resolve().parents[1]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(package_parent), *filter(None, [env.get("PYTHONPATH")])]
    )
    script = CHILD.format(build=textwrap.dedent(INPUTS[name]))
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
    assert result["outcome"] == expected
    # AddressSanitizer keeps freed blocks resident, so the bound holds only
    # for an ordinary build.
    if not sanitized():
        assert result["growth"] <= bound, (
            f"peak grew by {result['growth']} bytes for an input of {result['size']} bytes"
        )

