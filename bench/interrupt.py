"""How soon a pending Ctrl-C ends a long call.

Converts a list of N ints (encode_mapped_ids) and builds a list of N ints
(decode_mapped_ids), with a timer signal 50 ms into each call whose handler
raises KeyboardInterrupt, as Ctrl-C's does; prints how long after the
signal the call ended and whether it ended in KeyboardInterrupt.

    python bench/interrupt.py [N]      # N defaults to 50,000,000
"""

import signal
import sys
import time

import vonk

n = int(sys.argv[1]) if len(sys.argv) > 1 else 50_000_000
codec = vonk.Codec("cl100k_base")
ids = [5] * n
payload = bytes(codec.encode_mapped_ids(ids))


DELAY = 0.05


def timed(label, call):
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, DELAY)
    try:
        call()
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    end = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, 0)
    after = 1e3 * (end - start - DELAY)
    print(f"{label:<36} {outcome:<18} call {1e3 * (end - start):8.1f} ms, "
          f"{after:8.1f} ms after the signal")


timed(f"encode_mapped_ids({n:,} ints)", lambda: codec.encode_mapped_ids(ids))
timed(f"decode_mapped_ids({n:,} ids)", lambda: codec.decode_mapped_ids(payload))
