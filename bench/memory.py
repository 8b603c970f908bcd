"""Memory of a long run: mixed transactions against the C slave over Modbus TCP.

    python bench/memory.py [--client brel_modbus] [--transactions 100000] [--samples 20]

Cycles through the benchmark's workloads (read 10 holding registers, write 10 registers,
read 100 coils, read one float), one transaction each, with the client adapters of
bench/clients.py. After a warm-up (5 % of the run, at least 1000 transactions) it takes
a baseline, then samples at even intervals, each after gc.collect():
  rss     resident memory of this process (/proc/self/statm)
  blocks  sys.getallocatedblocks(): every live object and buffer from the interpreter's
          allocator, counted (catches leaked ints, bytes, lists, frames ...)
  gc objs len(gc.get_objects()): live container objects
and checks the answers stay right. Flat = pass: from the baseline to the end, resident
memory grows by at most 1 MiB, allocated blocks by at most 200 and gc objects by at
most 50 (a leak of one object per 5000 transactions fails a run of 1,000,000, one per
500 the default run). Sampling itself allocates nothing that stays.

Exit status: 0 flat, 1 growth or a wrong answer, 2 the client could not be set up (n/a).
"""

from __future__ import annotations

import argparse
import array
import gc
import os
import sys
import time

import clients
import common

RSS_LIMIT = 1 << 20
BLOCKS_LIMIT = 200
GC_LIMIT = 50


_STATM = os.open("/proc/self/statm", os.O_RDONLY)   # opened once: a text open() per sample allocates
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    return int(os.pread(_STATM, 128, 0).split()[1]) * _PAGE


def sample() -> tuple[int, int, int]:
    gc.collect()
    return rss_bytes(), sys.getallocatedblocks(), len(gc.get_objects())


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--client", default="brel_modbus", choices=sorted({n for n, t in clients.CLIENTS if t == "tcp"}))
    ap.add_argument("--transactions", type=int, default=100_000)
    ap.add_argument("--samples", type=int, default=20)
    args = ap.parse_args()
    total, k = args.transactions, max(2, args.samples)
    warmup = max(1000, total // 20)

    with common.run_slave(tcp=True, rtu=False) as slave:
        try:
            client = clients.CLIENTS[(args.client, "tcp")](str(slave.tcp_port))
        except Exception as exc:
            print(f"{args.client}: n/a (setup: {type(exc).__name__}: {exc})")
            return 2
        ops = [client.ops[w] for w in common.WORKLOADS]
        n_ops = len(ops)
        print(f"{args.client} over Modbus TCP to the C slave: {warmup:,} warm-up + {total:,} mixed "
              f"transactions ({', '.join(common.WORKLOADS)} in turn)")
        try:
            for i in range(warmup):
                ops[i % n_ops]()
            marks = [total * j // (k - 1) for j in range(k)]
            # samples go into preallocated arrays, so that keeping them allocates nothing
            table = array.array("q", bytes(8 * 5 * k))
            done = 0
            t0 = time.perf_counter_ns()
            for j, mark in enumerate(marks):
                for i in range(done, mark):
                    ops[i % n_ops]()
                done = mark
                for w, op in zip(common.WORKLOADS, ops, strict=True):
                    problem = common.check_result(w, op())
                    if problem:
                        print(f"FAIL: {problem} after {done:,} transactions")
                        return 1
                table[5 * j] = done
                table[5 * j + 1] = time.perf_counter_ns() - t0
                table[5 * j + 2], table[5 * j + 3], table[5 * j + 4] = sample()
        finally:
            client.close()

    rows = [tuple(table[5 * j:5 * j + 5]) for j in range(k)]
    print(f"  {'transactions':>12}{'seconds':>9}{'rss KiB':>10}{'blocks':>9}{'gc objs':>9}")
    for done, ns, rss, blocks, objs in rows:
        print(f"  {done:>12,}{ns / 1e9:>9.1f}{rss // 1024:>10,}{blocks:>9,}{objs:>9,}")
    _, ns, rss0, blocks0, objs0 = rows[0]
    _, ns, rss1, blocks1, objs1 = rows[-1]
    secs = ns / 1e9
    d_rss, d_blocks, d_objs = rss1 - rss0, blocks1 - blocks0, objs1 - objs0
    per_k = 1000 / total
    print(f"  growth over {total:,} transactions: rss {d_rss / 1024:+,.0f} KiB, blocks {d_blocks:+,} "
          f"({d_blocks * per_k:+.3f} per 1000), gc objects {d_objs:+,}; {secs / total * 1e6:.1f} us per transaction")
    flat = d_rss <= RSS_LIMIT and d_blocks <= BLOCKS_LIMIT and d_objs <= GC_LIMIT
    print(f"  {'PASS: flat' if flat else 'FAIL: growing'} (limits: rss +{RSS_LIMIT >> 10} KiB, "
          f"blocks +{BLOCKS_LIMIT}, gc objects +{GC_LIMIT})")
    return 0 if flat else 1


if __name__ == "__main__":
    sys.exit(main())
