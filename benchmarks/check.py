"""`tessel check` on generated rings of states: time and peak memory per state at each size.

A ring of N states, each with its own prompt (``^%N(sK)# ?$``) and sample, and one path from
each state to the next: every check runs over every state (samples against the prompts of the
states registered earlier, the groups of states that reach each other, the questions). Each size
runs in a fresh interpreter, so that the peak of one size does not hide the next. Equal figures
per state at every size mean that the check grows linearly with the file. Not a test: machines
are noisy. Run with ``PYTHONPATH=src python benchmarks/check.py [--sizes 2000 20000 100000]``.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from typing import Dict, List


def ring(size: int) -> str:
    """The text of a platform file with `size` states in a ring."""
    lines = ["platform: ring", "states:"]
    for k in range(size):
        lines += ["  - name: s%d" % k,
                  "    prompt: '^%%N\\(s%d\\)# ?$'" % k,
                  "    sample: '%%N(s%d)# '" % k]
    lines.append("paths:")
    for k in range(size):
        lines.append("  - {from: s%d, to: s%d, command: 'go s%d'}" % (k, (k + 1) % size,
                                                                      (k + 1) % size))
    lines += ["statements:",
              "  - {expect: '\\[confirm\\] ?$', send: '', sample: 'Proceed? [confirm] '}",
              "pager: {expect: ' --More-- ', sample: ' --More-- '}"]
    return "\n".join(lines) + "\n"


def measure(size: int) -> Dict[str, float]:
    """Checks a ring in this process; the figures of the check alone."""
    from tessel.platforms.check import check_file

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "ring.yaml")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(ring(size))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        began = time.perf_counter()
        findings = check_file(path)
        spent = time.perf_counter() - began
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {"size": size, "seconds": spent, "findings": len(findings),
            "peak_kb": max(peak - before, 0)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2000, 20000, 100000])
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one)))
        return
    rows: List[Dict[str, float]] = []
    print("%8s %10s %12s %14s %14s %9s" % ("states", "seconds", "us/state", "peak MB",
                                           "peak kB/state", "findings"))
    for size in args.sizes:
        out = subprocess.run([sys.executable, __file__, "--one", str(size)], check=True,
                             capture_output=True, text=True).stdout
        row = json.loads(out.splitlines()[-1])
        rows.append(row)
        print("%8d %10.2f %12.1f %14.1f %14.2f %9d" % (
            size, row["seconds"], row["seconds"] / size * 1e6, row["peak_kb"] / 1024,
            row["peak_kb"] / size, row["findings"]))
    first = rows[0]
    for row in rows[1:]:
        print("%d -> %d states (x%.0f): time x%.1f, peak memory x%.1f" % (
            first["size"], row["size"], row["size"] / first["size"],
            row["seconds"] / first["seconds"], row["peak_kb"] / max(first["peak_kb"], 1)))


if __name__ == "__main__":
    main()
