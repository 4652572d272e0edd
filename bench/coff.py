"""The COFF workload: MinGW's libmingwex.a renamed with a heavy list (every
defined global name to one of its length) and prefixed with -p, by namepatch,
by the MinGW objcopy and by llvm-objcopy with the same list, each writing an
output of its own, against cp + mv of the library.
"""
import os
import subprocess

import library

LIBRARY = "/usr/x86_64-w64-mingw32/lib/libmingwex.a"
OBJCOPY = "x86_64-w64-mingw32-objcopy"


def defined_globals():
    text = subprocess.run(["llvm-nm", "--defined-only", "--extern-only", "--format=just-symbols",
                           LIBRARY], check=True, capture_output=True).stdout.decode("latin-1")
    names = [line for line in text.splitlines() if line and not line.endswith(":")]
    return list(dict.fromkeys(names))


def heavy_pairs(names):
    taken = set(names)
    pairs = []
    for name in names:
        for c in "QZXJqzxj":
            candidate = c + name[1:]
            if candidate not in taken:
                taken.add(candidate)
                pairs.append((name, candidate))
                break
    return pairs


def workload(args, namepatch, work, run_once):
    names = defined_globals()
    heavy = os.path.join(work, "mingwex-heavy.txt")
    with open(heavy, "w") as f:
        f.writelines(f"{old} {new}\n" for old, new in heavy_pairs(names))
    prefixed = os.path.join(work, "mingwex-prefix.txt")
    with open(prefixed, "w") as f:
        f.writelines(f"{name} acme_{name}\n" for name in names)
    out = os.path.join(work, "mingwex-out.a")
    temp = out + ".new"
    # The renames that do not fit in place (names sharing bytes) take -g,
    # which leaves the others in place.
    commands = {
        "cp + mv libmingwex.a": [["cp", LIBRARY, temp], ["mv", temp, out]],
        "namepatch heavy": [[namepatch, "-g", "-a", heavy, "-o", out, LIBRARY]],
        "objcopy heavy": [[OBJCOPY, f"--redefine-syms={heavy}", LIBRARY, out]],
        "llvm-objcopy heavy": [["llvm-objcopy", f"--redefine-syms={heavy}", LIBRARY, out]],
        "namepatch -p": [[namepatch, "-p", "acme_", "-o", out, LIBRARY]],
        "objcopy prefix": [[OBJCOPY, f"--redefine-syms={prefixed}", LIBRARY, out]],
        "llvm-objcopy prefix": [["llvm-objcopy", f"--redefine-syms={prefixed}", LIBRARY, out]],
    }
    median = library.time_alternating(commands, args.runs, run_once)

    print(f"coff library: {LIBRARY}, {os.path.getsize(LIBRARY) / 1e6:.1f} MB; {len(names)} "
          f"defined names, each renamed or prefixed; medians of {args.runs} runs")
    floor = median["cp + mv libmingwex.a"]
    width = max(20, *map(len, commands))
    for name in commands:
        print(f"  {name:{width}s} {median[name] * 1000:8.1f} ms  {median[name] / floor:6.2f}x cp + mv")
    targets = (("namepatch heavy", "cp + mv libmingwex.a", 1.5),
               ("namepatch heavy", "llvm-objcopy heavy", 1 / 3),
               ("namepatch -p", "objcopy prefix", 1 / 10))
    for ours, floor_or_peer, target in targets:
        ratio = median[ours] / median[floor_or_peer]
        verdict = "met" if ratio <= target else "MISSED"
        print(f"  {ours} costs {ratio:.3f}x {floor_or_peer} (target {target:.3f}x: {verdict})")
