"""The Arm archive workload: newlib's C library for bare-metal Arm, with every
defined global name renamed that can be renamed in place (chosen as for the
library workload's heavy list), by namepatch and by the Arm objcopy and
llvm-objcopy with the same swap list, each on its own copy of the archive.
"""
import os
import shutil
import subprocess

import library

LIBC = "/usr/lib/arm-none-eabi/lib/libc.a"
AR = "arm-none-eabi-ar"
OBJCOPY = "arm-none-eabi-objcopy"


def workload(args, namepatch, work, run_once):
    tree = os.path.join(work, "arm-tree")
    os.mkdir(tree)
    subprocess.run([AR, "x", LIBC], cwd=tree, check=True)
    members = subprocess.run([AR, "t", LIBC], check=True,
                             capture_output=True).stdout.decode().split()
    copies = {tool: os.path.join(work, f"arm-{tool}.a")
              for tool in ("namepatch", "objcopy", "llvm-objcopy", "cp")}
    for path in copies.values():
        shutil.copyfile(LIBC, path)
    listing = os.path.join(work, "arm.txt")
    pairs, _ = library.choose_names(tree, members)
    pairs = library.drop_clashes(namepatch, copies["namepatch"], pairs, listing)

    temp = copies["cp"] + ".new"
    # Replacing the archive whole is the floor: namepatch writes a new file
    # and moves it into place.
    commands = {
        "cp + mv libc.a": [["cp", LIBC, temp], ["mv", temp, copies["cp"]]],
        "namepatch libc.a": [[namepatch, "-a", listing, copies["namepatch"]]],
        "objcopy libc.a": [[OBJCOPY, f"--redefine-syms={listing}", copies["objcopy"]]],
        "llvm-objcopy libc.a": [["llvm-objcopy", f"--redefine-syms={listing}",
                                 copies["llvm-objcopy"]]],
    }
    commands = library.with_baseline(commands, namepatch, args.baseline)
    median = library.time_alternating(commands, args.runs, run_once)

    print(f"arm library: {LIBC}, {len(members)} members, {os.path.getsize(LIBC) / 1e6:.1f} MB; "
          f"{len(pairs)} pairs, each swapped; medians of {args.runs} runs")
    width = max(20, *map(len, commands))
    for name in commands:
        print(f"  {name:{width}s} {median[name] * 1000:8.1f} ms  "
              f"{median[name] / median['cp + mv libc.a']:6.2f}x cp + mv  "
              f"{median[name] / median['objcopy libc.a']:6.3f}x objcopy")
