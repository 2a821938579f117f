"""Start-up costs, each measured in fresh processes.

    import     `import vonk._internal` beside `import unicodedata` (a standard
               extension module that also carries compiled-in data tables)
    load       the first Codec(name) of a process: time and the memory it
               adds, beside one pass over the data set's text (floor), the
               same four tables built as Python dicts from data/NAME.jsonl
               (peer), and a cached Codec(name) in the same process

Every child (common.run_child) measures itself with time.perf_counter_ns
and common.rss and prints one JSON line; the parent takes medians.
"""

from __future__ import annotations

import json
import statistics

import common

_RSS = r"""
import json, sys, time
from common import rss
"""

_CHILD_IMPORT = r"""
import sys, time
start = time.perf_counter_ns()
__import__(sys.argv[1])
print(time.perf_counter_ns() - start)
"""

_CHILD_LOAD = _RSS + r"""
import vonk._internal as internal
name = sys.argv[1]
rss0, anon0 = rss()
start = time.perf_counter_ns()
codec = internal.Codec(name)
elapsed = time.perf_counter_ns() - start
rss1, anon1 = rss()
warm = []
for _ in range(201):
    t = time.perf_counter_ns()
    internal.Codec(name)
    warm.append(time.perf_counter_ns() - t)
print(json.dumps({"ns": elapsed, "rss": rss1 - rss0, "anon": anon1 - anon0, "warm_ns": sorted(warm)[100]}))
"""

_CHILD_PY_TABLES = _RSS + r"""
loads = json.loads
rss0, anon0 = rss()
start = time.perf_counter_ns()
token_to_mapped, token_id_to_mapped, mapped_to_token_id, mapped_to_token = {}, {}, {}, {}
with open(sys.argv[1], "rb") as f:
    for line in f:
        if line.strip():
            r = loads(line)
            token_to_mapped[r["token"]] = r["mapped_id"]
            token_id_to_mapped[r["token_id"]] = r["mapped_id"]
            mapped_to_token_id[r["mapped_id"]] = r["token_id"]
            mapped_to_token[r["mapped_id"]] = r["token"]
elapsed = time.perf_counter_ns() - start
rss1, anon1 = rss()
print(json.dumps({"ns": elapsed, "rss": rss1 - rss0, "anon": anon1 - anon0}))
"""


def _processes(count: int) -> str:
    return f"{count} fresh process" + ("" if count == 1 else "es")


def _child(code: str, arg: str):
    return json.loads(common.run_child(code, arg)[0].splitlines()[-1])


def run_import(cfg: common.Config) -> None:
    modules = ("vonk._internal", "unicodedata")
    times: dict[str, list[int]] = {m: [] for m in modules}
    for _ in range(cfg.processes):
        for module in modules:
            times[module].append(_child(_CHILD_IMPORT, module))
    mine, peer = (statistics.median(times[m]) for m in modules)
    common.print_table(
        f"Import: ms in a fresh process (median of {_processes(cfg.processes)})",
        ["import", "vonk", "peer", "ratio"],
        [["vonk._internal", f"{mine / 1e6:.2f}", f"{peer / 1e6:.2f}", common.fmt_ratio(mine / peer)]],
        ["peer: import unicodedata (standard C extension with compiled-in tables);"
         " vonk includes the package's __init__."],
        left=1,
    )


def run_load(cfg: common.Config) -> None:
    names = cfg.load_tokenizers()
    results: dict[str, list[dict]] = {name: [] for name in names}
    for _ in range(cfg.processes):
        for name in names:  # round robin, so drift hits every name alike
            results[name].append(_child(_CHILD_LOAD, name))
    paths = {name: common.dataset_path(name) for name in names}
    peer: dict = {path: [] for path in paths.values() if path}
    for _ in range(cfg.peer_processes):
        for path in peer:
            peer[path].append(_child(_CHILD_PY_TABLES, str(path)))
    scan = {}
    for path in peer:
        text = path.read_bytes()
        (scan[path],) = common.time_round_robin([lambda: text.count(b"\n")], max(cfg.repeat, 5), 1)

    ms, mib, ratio = (lambda ns: f"{ns / 1e6:.1f}"), (lambda n: f"{n / 2**20:.1f}"), common.fmt_ratio
    time_rows, memory_rows = [], []
    for name in names:
        mine = {key: statistics.median(r[key] for r in results[name]) for key in results[name][0]}
        path = paths[name]
        theirs = {key: statistics.median(r[key] for r in peer[path]) for key in ("ns", "anon")} if path else None
        time_rows.append([name, ms(mine["ns"]), f"{mine['warm_ns'] / 1e3:.2f}"] + (
            [ms(scan[path]), ratio(mine["ns"] / scan[path]), ms(theirs["ns"]), ratio(mine["ns"] / theirs["ns"])]
            if path else ["-"] * 4))
        memory_rows.append([name, mib(mine["rss"]), mib(mine["anon"])] + (
            [mib(path.stat().st_size), mib(theirs["anon"]), ratio(mine["anon"] / theirs["anon"])]
            if path else ["-"] * 3))
    common.print_table(
        f"First load: time (median of {_processes(cfg.processes)})",
        ["tokenizer", "first ms", "cached us", "scan ms", "/scan", "py ms", "/py"], time_rows,
        ["first: the first Codec(name) after import, in a fresh process;"
         " cached: a further Codec(name) in that process.",
         "scan (floor): text.count(b'\\n') over data/NAME.jsonl in memory,"
         " one pass over the bytes any loader must read;",
         f"py (peer): json.loads per line into four dicts, as the tables are,"
         f" median of {_processes(cfg.peer_processes)}; '-': no data/ set found."],
        left=1,
    )
    common.print_table(
        f"First load: memory added (median of {_processes(cfg.processes)})",
        ["tokenizer", "RSS MiB", "heap MiB", "text MiB", "py heap MiB", "heap/py"], memory_rows,
        ["RSS: growth of the resident set across the first Codec(name);"
         " heap: the part not backed by files (the tables; the rest is the",
         "embedded text paged in from the module file). text: size of the data set;"
         " py heap: heap growth of the py peer."],
        left=1,
    )
