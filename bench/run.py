#!/usr/bin/env python3
"""Times namepatch against two peers (GNU objcopy and llvm-objcopy, each with
--redefine-syms) and the floor.

Three workloads, each command run several times, alternating, with medians and
ratios printed:
- object: one generated big-endian PowerPC object with many global labels and
  references, a list renaming a share of them, against cp and cp + mv;
- library: the cross C library, its members extracted into a directory (a
  build tree of many small objects) and as the archive itself, with a light,
  a long (light plus pairs that match nothing) and a heavy swap list, against
  cat of every object, cp + mv of libc.a and both peers on libc.a;
- arm: newlib's libc.a for bare-metal Arm with every name renamed that can be,
  against cp + mv, arm-none-eabi-objcopy and llvm-objcopy;
- coff: MinGW's libmingwex.a with every defined name renamed (a heavy list)
  and prefixed with -p, against cp + mv, the MinGW objcopy and llvm-objcopy.

With --baseline, a second namepatch (a build from before a change) runs every
namepatch command too, alternating with the rest, its rows named "before ..."
and printed after the current build's, with the same ratios.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import arm
import coff
import library

AS = "powerpc-linux-gnu-as"
OBJCOPY = "powerpc-linux-gnu-objcopy"
LLVM_OBJCOPY = "llvm-objcopy"


def generate(work, labels, references, pairs):
    source = os.path.join(work, "work.s")
    with open(source, "w") as out:
        out.write("\t.text\n")
        for i in range(labels):
            out.write(f"\t.globl fn_{i:06d}\nfn_{i:06d}:\n\tblr\n")
        for i in range(references):
            out.write(f"\tbl ext_{i:06d}\n")
    obj = os.path.join(work, "work.o")
    subprocess.run([AS, "-mregnames", "-o", obj, source], check=True)
    rng = random.Random(1)
    renamed = rng.sample(range(labels), pairs)
    listing = os.path.join(work, "pairs.txt")
    with open(listing, "w") as out:
        for i in renamed:
            out.write(f"fn_{i:06d} gn_{i:06d}\n")
    return obj, listing


def run_once(steps):
    """Runs the steps of one command in turn and gives their total time. The
    data that earlier commands left to write reaches the disk first, untimed,
    so that no command pays for another's write-back."""
    os.sync()
    start = time.perf_counter()
    for step in steps:
        proc = subprocess.run(step, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # --clashes ends with 1 when it lists a name: a result, not a failure.
        if proc.returncode != 0 and not (proc.returncode == 1 and "--clashes" in step):
            sys.exit(f"{step[0]} failed: {proc.stderr.decode(errors='replace')}")
    return time.perf_counter() - start


def peak_kib(steps):
    """Peak resident size of the largest step, measured by GNU time: a child
    forked by this script would count this script's own memory as its peak."""
    peak = 0
    for step in steps:
        proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + step,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
        peak = max(peak, int(proc.stderr.decode().strip().splitlines()[-1]))
    return peak


def object_workload(args, namepatch, work):
    obj, listing = generate(work, args.labels, args.references, args.pairs)
    out = os.path.join(work, "out.o")
    temp = os.path.join(work, "out.tmp")
    # namepatch replaces an output whole: it writes a new file and moves
    # it into place, which "cp + mv" does too.
    commands = {
        "cp": [["cp", obj, out]],
        "cp + mv": [["cp", obj, temp], ["mv", temp, out]],
        "namepatch -a": [[namepatch, "-a", listing, "-o", out, obj]],
        "namepatch -c": [[namepatch, "-c", "fn_000001", "-n", "gn_000001", "-o", out, obj]],
        "objcopy": [[OBJCOPY, f"--redefine-syms={listing}", obj, out]],
        "llvm-objcopy": [[LLVM_OBJCOPY, f"--redefine-syms={listing}", obj, out]],
    }
    commands = library.with_baseline(commands, namepatch, args.baseline)
    median = library.time_alternating(commands, args.runs, run_once)
    peaks = {name: peak_kib(command) for name, command in commands.items()}

    size = os.path.getsize(obj)
    print(f"object: {size / 1e6:.1f} MB, {args.labels} labels, {args.references} references; "
          f"{args.pairs} pairs; medians of {args.runs} runs")
    copy = median["cp"]
    replace = median["cp + mv"]
    width = max(13, *map(len, commands))
    for name in commands:
        took = median[name]
        print(f"  {name:{width}s} {took * 1000:8.1f} ms  {took / copy:6.2f}x cp  "
              f"{took / replace:6.2f}x cp + mv  "
              f"peak {peaks[name] / 1024:6.1f} MB ({peaks[name] * 1024 / size:4.1f}x input)")
    for name in ("namepatch -a", "before namepatch -a"):
        if name not in median:
            continue
        listed = median[name]
        for peer in ("objcopy", "llvm-objcopy"):
            print(f"  {name} is {median[peer] / listed:.1f}x faster than {peer}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--namepatch", default="build/driver/namepatch")
    parser.add_argument("--workload", choices=["object", "library", "arm", "coff", "all"], default="all")
    parser.add_argument("--labels", type=int, default=200_000)
    parser.add_argument("--references", type=int, default=20_000)
    parser.add_argument("--pairs", type=int, default=20_000)
    parser.add_argument("--light", type=int, default=20, help="pairs of the light list")
    parser.add_argument("--unmatched", type=int, default=20_000,
                        help="pairs that match nothing, added to the light list for the long one")
    parser.add_argument("--runs", type=int, default=9)
    parser.add_argument("--baseline", metavar="PATH",
                        help="a namepatch built before a change, timed beside the current one")
    args = parser.parse_args()
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)

    namepatch = os.path.abspath(args.namepatch)
    work = tempfile.mkdtemp(prefix="namepatch-bench-")
    try:
        if args.workload in ("object", "all"):
            object_workload(args, namepatch, work)
        if args.workload in ("library", "all"):
            library.workload(args, namepatch, work, run_once)
        if args.workload in ("arm", "all"):
            arm.workload(args, namepatch, work, run_once)
        if args.workload in ("coff", "all"):
            coff.workload(args, namepatch, work, run_once)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
