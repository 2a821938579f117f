"""Start-up costs, each measured in fresh processes.

    import     `import vonk._internal` beside `import unicodedata` (a standard
               extension module that also carries compiled-in data tables)
    load       the first Codec(name) of a process: time and the memory it
               adds, beside one pass over the data set's text (floor), the
               same four tables built as Python dicts from data/NAME.jsonl
               (peer), and a cached Codec(name) in the same process

Every child measures itself with time.perf_counter_ns and /proc/self/statm
and prints one JSON line; the parent takes medians.
"""

from __future__ import annotations

import json
import subprocess
import sys

import common

_STATM = r"""
import os
_PAGE = os.sysconf("SC_PAGE_SIZE")
def statm():
    # resident bytes, and resident bytes not backed by a file (heap)
    with open("/proc/self/statm") as f:
        v = f.read().split()
    return int(v[1]) * _PAGE, (int(v[1]) - int(v[2])) * _PAGE
"""

_CHILD_IMPORT = r"""
import sys, time
start = time.perf_counter_ns()
__import__(sys.argv[1])
print(time.perf_counter_ns() - start)
"""

_CHILD_LOAD = _STATM + r"""
import json, sys, time
import vonk._internal as internal
name = sys.argv[1]
rss0, anon0 = statm()
start = time.perf_counter_ns()
codec = internal.Codec(name)
elapsed = time.perf_counter_ns() - start
rss1, anon1 = statm()
warm = []
for _ in range(201):
    t = time.perf_counter_ns()
    internal.Codec(name)
    warm.append(time.perf_counter_ns() - t)
warm.sort()
print(json.dumps({"ns": elapsed, "rss": rss1 - rss0, "anon": anon1 - anon0,
                  "warm_ns": warm[len(warm) // 2]}))
"""

_CHILD_PY_TABLES = _STATM + r"""
import json, sys, time
path = sys.argv[1]
loads = json.loads
rss0, anon0 = statm()
start = time.perf_counter_ns()
token_to_mapped, token_id_to_mapped, mapped_to_token_id, mapped_to_token = {}, {}, {}, {}
with open(path, "rb") as f:
    for line in f:
        line = line.strip()
        if line:
            r = loads(line)
            token, token_id, mapped_id = r["token"], r["token_id"], r["mapped_id"]
            token_to_mapped[token] = mapped_id
            token_id_to_mapped[token_id] = mapped_id
            mapped_to_token_id[mapped_id] = token_id
            mapped_to_token[mapped_id] = token
elapsed = time.perf_counter_ns() - start
rss1, anon1 = statm()
print(json.dumps({"ns": elapsed, "rss": rss1 - rss0, "anon": anon1 - anon0}))
"""


def _processes(count: int) -> str:
    return f"{count} fresh process" + ("" if count == 1 else "es")


def _child(code: str, *args: str) -> str:
    # The children run in bench/, which holds no `vonk` directory that could
    # shadow the installed package from the current directory.
    done = subprocess.run(
        [sys.executable, "-c", code, *args],
        cwd=common.BENCH_DIR,
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(
            f"child {args} failed ({done.returncode}): {done.stderr.strip()[-500:]}"
        )
    return done.stdout.strip().splitlines()[-1]


def run_import(cfg: common.Config) -> None:
    modules = ("vonk._internal", "unicodedata")
    times: dict[str, list[int]] = {m: [] for m in modules}
    for _ in range(cfg.processes):
        for module in modules:
            times[module].append(int(_child(_CHILD_IMPORT, module)))
    mine = common.median(times["vonk._internal"])
    peer = common.median(times["unicodedata"])
    common.print_table(
        f"Import: ms in a fresh process (median of {_processes(cfg.processes)})",
        ["import", "vonk", "peer", "ratio"],
        [["vonk._internal", f"{mine / 1e6:.2f}", f"{peer / 1e6:.2f}", common.fmt_ratio(mine / peer)]],
        "lrrr",
        [
            "peer: import unicodedata (standard C extension with compiled-in tables);"
            " vonk includes the package's __init__.",
        ],
    )


def run_load(cfg: common.Config, available) -> None:
    names = cfg.load_tokenizers(available)
    with_data = common.have_datasets()

    results: dict[str, list[dict]] = {name: [] for name in names}
    for _ in range(cfg.processes):
        for name in names:  # round robin, so drift hits every name alike
            results[name].append(json.loads(_child(_CHILD_LOAD, name)))

    peer: dict[str, list[dict]] = {}
    scan: dict[str, float] = {}
    if with_data:
        datasets = sorted({common.DATASET[n] for n in names})
        for _ in range(cfg.peer_processes):
            for dataset in datasets:
                path = str(common.DATASET_DIR / f"{dataset}.jsonl")
                peer.setdefault(dataset, []).append(json.loads(_child(_CHILD_PY_TABLES, path)))
        for dataset in datasets:
            text = common.dataset_bytes(dataset)
            (scan[dataset],) = common.time_round_robin(
                [lambda: text.count(b"\n")], max(cfg.repeat, 5), 1
            )

    time_rows, memory_rows = [], []
    for name in names:
        runs = results[name]
        load_ns = common.median([r["ns"] for r in runs])
        warm_ns = common.median([r["warm_ns"] for r in runs])
        rss = common.median([r["rss"] for r in runs])
        anon = common.median([r["anon"] for r in runs])
        row_t = [name, common.fmt_ms(load_ns), f"{warm_ns / 1e3:.2f}"]
        row_m = [name, common.fmt_mib(rss), common.fmt_mib(anon)]
        if with_data:
            dataset = common.DATASET[name]
            p = peer[dataset]
            p_ns = common.median([r["ns"] for r in p])
            p_anon = common.median([r["anon"] for r in p])
            text_bytes = len(common.dataset_bytes(dataset))
            row_t += [
                common.fmt_ms(scan[dataset]),
                common.fmt_ratio(load_ns / scan[dataset]),
                common.fmt_ms(p_ns),
                common.fmt_ratio(load_ns / p_ns),
            ]
            row_m += [
                common.fmt_mib(text_bytes),
                common.fmt_mib(p_anon),
                common.fmt_ratio(anon / p_anon),
            ]
        time_rows.append(row_t)
        memory_rows.append(row_m)

    headers_t = ["tokenizer", "first ms", "cached us"]
    headers_m = ["tokenizer", "RSS MiB", "heap MiB"]
    notes_t = [
        "first: the first Codec(name) after import, in a fresh process;"
        " cached: a further Codec(name) in that process.",
    ]
    notes_m = [
        "RSS: growth of the resident set across the first Codec(name);"
        " heap: the part not backed by files (the tables; the rest is the",
        "embedded text paged in from the module file).",
    ]
    if with_data:
        headers_t += ["scan ms", "/scan", "py ms", "/py"]
        headers_m += ["text MiB", "py heap MiB", "heap/py"]
        notes_t.append(
            "scan (floor): text.count(b'\\n') over data/NAME.jsonl in memory,"
            " one pass over the bytes any loader must read;"
        )
        notes_t.append(
            f"py (peer): json.loads per line into four dicts, as the tables are,"
            f" median of {_processes(cfg.peer_processes)}."
        )
        notes_m.append("text: size of the data set; py heap: heap growth of the py peer.")
    else:
        notes_t.append("(data/ not found: floor and peer columns skipped)")
    common.print_table(
        f"First load: time (median of {_processes(cfg.processes)})",
        headers_t,
        time_rows,
        "l" + "r" * (len(headers_t) - 1),
        notes_t,
    )
    common.print_table(
        f"First load: memory added (median of {_processes(cfg.processes)})",
        headers_m,
        memory_rows,
        "l" + "r" * (len(headers_m) - 1),
        notes_m,
    )
