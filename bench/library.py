"""The library workloads: the cross C library's members extracted into a
directory, as a build tree of many small objects, and the archive itself.

The lists rename defined global names that can be renamed in place in every
member that holds them: a name stored as the tail of another symbol's name is
left out, and each new name differs from its old one in the first byte only,
so that the tails stored inside it survive. Each list is a swap list ("a b"
then "b a"), so every repeated run does the same work.

Prefixing (-p) has no swap: each run prefixes a fresh copy of the tree, made
untimed, and writes the library to a new file, as the peers do with the list
that nm --defined-only -g gives, built untimed. Growth (-g) runs that list,
which makes every member grow, the same way. The vendoring rows keep every
twentieth of those names and write the library to a new file; --clashes
reads every archive of the cross C library, against cat of them.
"""
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "real"))
import realtools  # noqa: E402

LIBDIR = "/usr/powerpc-linux-gnu/lib"
LIBC = LIBDIR + "/libc.a"
AR = "powerpc-linux-gnu-ar"
NM = "powerpc-linux-gnu-nm"
PREFIX = "acme_"
OBJCOPY = "powerpc-linux-gnu-objcopy"
LLVM_OBJCOPY = "llvm-objcopy"
STB_GLOBAL, STB_WEAK = 1, 2

# What replacing every object whole costs at least: each one's bytes written
# to a new file beside it that is then renamed over it, as namepatch does for
# every object that changes.
REPLACE_EVERY_FILE = """
import os, sys
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        data = f.read()
    temp = path + ".new"
    with open(temp, "wb") as f:
        f.write(data)
    os.rename(temp, path)
"""


def covered_names(obj):
    """Names some symbol holds that start inside another symbol's name."""
    if obj.strtab is None:
        return set()
    offset, size = obj.strtab_region()
    table = obj.data[offset:offset + size]
    starts = {s.st_name for s in obj.symbols if s.name is not None}
    covered = set()
    for sym in obj.symbols:
        if sym.name is None:
            continue
        at = sym.st_name
        while at > 0 and table[at - 1] != 0:
            at -= 1
            if at in starts:
                covered.add(sym.name)
                break
    return covered


def choose_names(tree, members):
    """Defined global names renamable in place everywhere, in member order,
    each with its new name, and how many members hold each."""
    everywhere = set()
    unsafe = set()
    candidates = []
    holders = {}
    for member in members:
        with open(os.path.join(tree, member), "rb") as f:
            obj = realtools.Object(f.read())
        unsafe |= covered_names(obj)
        for name in {s.name for s in obj.symbols if s.name}:
            holders[name] = holders.get(name, 0) + 1
        for sym in obj.symbols:
            if sym.name is None:
                continue
            everywhere.add(sym.name)
            if sym.name and sym.shndx != 0 and sym.bind in (STB_GLOBAL, STB_WEAK):
                candidates.append(sym.name)
    pairs = []
    seen = set()
    for old in candidates:
        if old in seen or old in unsafe:
            continue
        seen.add(old)
        for c in "QZXJqzxj":
            new = c + old[1:]
            if new not in everywhere:
                everywhere.add(new)
                pairs.append((old, new))
                break
    return pairs, holders


def drop_clashes(namepatch, archive, pairs, listing):
    """Leaves out the names whose renames namepatch refuses anyway (names
    shared with section names and the like), one refusal at a time."""
    while True:
        write_swap_list(listing, pairs)
        proc = subprocess.run([namepatch, "-a", listing, "-o", "/dev/null", archive],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if proc.returncode == 0:
            return pairs
        err = proc.stderr.decode(errors="replace")
        if not err.startswith("ERROR: renaming <"):
            sys.exit(f"namepatch refused the library: {err}")
        culprit = err[len("ERROR: renaming <"):err.index(">")]
        pairs = [(old, new) for old, new in pairs if culprit not in (old, new)]


def with_baseline(commands, namepatch, baseline):
    """Puts after each namepatch command the same command run by the baseline
    binary. A command that is a function of the run is also given the binary,
    so that each binary gets its own fresh copies of what it changes."""
    if baseline is None:
        return commands
    # A long option that the baseline's --help does not name is one it lacks:
    # its rows are timed for the current build alone.
    known = subprocess.run([baseline, "--help"], capture_output=True, text=True).stdout
    both = {}
    for name, command in commands.items():
        both[name] = command
        if not name.startswith("namepatch"):
            continue
        words = [] if callable(command) else [arg for step in command for arg in step]
        if any(word.startswith("--") and word not in known
               for arg in words for word in str(arg).split()):
            continue
        if callable(command):
            both[f"before {name}"] = lambda run, command=command: command(run, baseline)
        else:
            both[f"before {name}"] = [[baseline if arg == namepatch else arg for arg in step]
                                      for step in command]
    return both


def time_alternating(commands, runs, run_once):
    """Runs every command once a round, alternating, for runs rounds, and
    gives each command's median time. A command that is a function of the
    round is called with it for the steps to run."""
    times = {name: [] for name in commands}
    for run in range(runs):
        for name, command in commands.items():
            times[name].append(run_once(command(run) if callable(command) else command))
    return {name: statistics.median(t) for name, t in times.items()}


def write_swap_list(path, pairs, unmatched=0):
    """Writes pairs as a swap list, then unmatched pairs of names no object
    holds."""
    with open(path, "w") as out:
        for old, new in pairs:
            out.write(f"{old} {new}\n{new} {old}\n")
        for i in range(unmatched):
            out.write(f"unmatched_{i:06d} nomatches_{i:06d}\n")


def workload(args, namepatch, work, run_once):
    tree = os.path.join(work, "tree")
    os.mkdir(tree)
    subprocess.run([AR, "x", LIBC], cwd=tree, check=True)
    members = subprocess.run([AR, "t", LIBC], check=True,
                             capture_output=True).stdout.decode().split()
    objects = [os.path.join(tree, m) for m in members]
    ours, gnu, llvm, copy = (os.path.join(work, name) for name in
                             ("libc.a", "libc-objcopy.a", "libc-llvm.a", "libc-copy.a"))
    for path in (ours, gnu, llvm, copy):
        shutil.copyfile(LIBC, path)
    temp = os.path.join(work, "libc-copy.tmp")

    heavy_list = os.path.join(work, "heavy.txt")
    light_list = os.path.join(work, "light.txt")
    long_list = os.path.join(work, "long.txt")
    pairs, holders = choose_names(tree, members)
    heavy = drop_clashes(namepatch, ours, pairs, heavy_list)
    # The light list changes few objects: names that one member alone holds,
    # spread over the library. The long list is the light one followed by
    # pairs that match nothing, which only the list's length can cost.
    alone = [pair for pair in heavy if holders[pair[0]] == 1]
    step = max(1, len(alone) // args.light)
    light = alone[::step][:args.light]
    write_swap_list(light_list, light)
    write_swap_list(long_list, light, args.unmatched)

    defined = subprocess.run([NM, "--defined-only", "-g", LIBC], check=True,
                             capture_output=True).stdout.decode().splitlines()
    prefix_list = os.path.join(work, "prefix.txt")
    with open(prefix_list, "w") as out:
        out.writelines(f"{name} {PREFIX}{name}\n" for name in
                       dict.fromkeys(line.split()[2] for line in defined if len(line.split()) == 3))
    # A fresh copy of the tree for each run, kind and binary.
    fresh = {}
    binaries = [namepatch] + ([args.baseline] if args.baseline else [])
    for run in range(args.runs):
        for kind in ("prefix", "grow"):
            for i, binary in enumerate(binaries):
                path = os.path.join(work, f"tree-{kind}-{i}-{run}")
                shutil.copytree(tree, path)
                fresh.setdefault((kind, binary), []).append([os.path.join(path, m)
                                                             for m in members])
    prefixed = os.path.join(work, "libc-prefixed.a")
    # The vendoring rows keep a share of the names, as an API would be.
    keep_list = os.path.join(work, "keep.txt")
    with open(keep_list, "w") as out:
        out.writelines(f"{line.split()[2]}\n" for line in defined[::20] if len(line.split()) == 3)
    vendored = os.path.join(work, "libc-vendored.a")
    libraries = sorted(os.path.join(LIBDIR, n) for n in os.listdir(LIBDIR) if n.endswith(".a"))

    # The tree is renamed in place by one namepatch run; the peers rename the
    # archive in place, their one-process way of renaming the same objects.
    # Replacing the library whole (cp to a new file, mv over it) is the floor
    # of any run that changes it.
    commands = {
        "cat tree": [["cat"] + objects],
        "namepatch tree, light": [[namepatch, "-a", light_list] + objects],
        "namepatch tree, long": [[namepatch, "-a", long_list] + objects],
        "namepatch tree, heavy": [[namepatch, "-a", heavy_list] + objects],
        "replace every object": [[sys.executable, "-c", REPLACE_EVERY_FILE] + objects],
        "cp + mv libc.a": [["cp", copy, temp], ["mv", temp, copy]],
        "namepatch libc.a, light": [[namepatch, "-a", light_list, ours]],
        "namepatch libc.a, long": [[namepatch, "-a", long_list, ours]],
        "objcopy libc.a, light": [[OBJCOPY, f"--redefine-syms={light_list}", gnu]],
        "llvm-objcopy libc.a, light": [[LLVM_OBJCOPY, f"--redefine-syms={light_list}", llvm]],
        "namepatch libc.a, heavy": [[namepatch, "-a", heavy_list, ours]],
        "objcopy libc.a, heavy": [[OBJCOPY, f"--redefine-syms={heavy_list}", gnu]],
        "llvm-objcopy libc.a, heavy": [[LLVM_OBJCOPY, f"--redefine-syms={heavy_list}", llvm]],
        "namepatch tree, prefix": lambda run, binary=namepatch:
            [[binary, "-p", PREFIX] + fresh["prefix", binary][run]],
        "namepatch libc.a, prefix": [[namepatch, "-p", PREFIX, "-o", prefixed, LIBC]],
        "objcopy libc.a, prefix": [[OBJCOPY, f"--redefine-syms={prefix_list}", LIBC, prefixed]],
        "llvm-objcopy libc.a, prefix": [[LLVM_OBJCOPY, f"--redefine-syms={prefix_list}", LIBC,
                                         prefixed]],
        "namepatch tree, grow": lambda run, binary=namepatch:
            [[binary, "-g", "-a", prefix_list] + fresh["grow", binary][run]],
        "namepatch libc.a, grow": [[namepatch, "-g", "-a", prefix_list, "-o", prefixed, LIBC]],
        "namepatch libc.a, vendor: prefix + keep":
            [[namepatch, "-p", PREFIX, "--keep", keep_list, "-o", vendored, LIBC]],
        "namepatch libc.a, vendor: hide": [[namepatch, "--hide", "--keep", keep_list, "-o",
                                            vendored, LIBC]],
        "namepatch libc.a, vendor: localize": [[namepatch, "--localize", "--keep", keep_list,
                                                "-o", vendored, LIBC]],
        "cat every library": [["cat"] + libraries],
        # Status 1 says that names clash, which the C library's archives do.
        "namepatch every library, clashes":
            [[namepatch, "--clashes"] + libraries],
    }
    commands = with_baseline(commands, namepatch, args.baseline)
    median = time_alternating(commands, args.runs, run_once)

    size = sum(os.path.getsize(o) for o in objects)
    print(f"library: {LIBC}, {len(objects)} members, {size / 1e6:.1f} MB; light list "
          f"{len(light)} pairs, long list those and {args.unmatched} that match nothing, "
          f"heavy list {len(heavy)} pairs, each swapped; medians of {args.runs} runs")
    floor = median["cp + mv libc.a"]
    width = max(27, *map(len, commands))
    for name in commands:
        weight = next((w for w in ("heavy", "prefix") if name.endswith(w)), "light")
        weight = "prefix" if name.endswith("grow") or "vendor" in name else weight
        peers = "  ".join(f"{median[name] / median[f'{peer} libc.a, {weight}']:6.3f}x {peer}"
                          for peer in ("objcopy", "llvm-objcopy"))
        print(f"  {name:{width}s} {median[name] * 1000:8.1f} ms  "
              f"{median[name] / median['cat tree']:6.2f}x cat tree  "
              f"{median[name] / floor:6.2f}x cp + mv libc.a  {peers}")
    print("  targets:")
    targets = (("namepatch libc.a, heavy", "cp + mv libc.a", 1.5),
               ("namepatch libc.a, heavy", "llvm-objcopy libc.a, heavy", 0.2),
               ("namepatch libc.a, long", "namepatch libc.a, light", 1.2),
               ("namepatch tree, long", "namepatch tree, light", 1.2),
               ("namepatch libc.a, prefix", "objcopy libc.a, prefix", 0.1),
               ("namepatch tree, prefix", "replace every object", 1.5),
               ("namepatch libc.a, grow", "objcopy libc.a, prefix", 0.1),
               ("namepatch tree, grow", "replace every object", 1.3),
               ("namepatch libc.a, vendor: prefix + keep", "namepatch libc.a, prefix", 1.5),
               ("namepatch libc.a, vendor: hide", "namepatch libc.a, prefix", 1.5),
               ("namepatch libc.a, vendor: localize", "namepatch libc.a, prefix", 1.5),
               ("namepatch every library, clashes", "cat every library", 2.0))
    if args.baseline:
        # The baseline's long list is set against its own light one.
        targets += tuple((f"before {name}",
                          f"before {base}" if base.startswith("namepatch") else base, limit)
                         for name, base, limit in targets if f"before {name}" in median)
    for name, base, limit in targets:
        ratio = median[name] / median[base]
        verdict = "met" if ratio <= limit else "MISSED"
        print(f"    {name} / {base}: {ratio:.2f}x (at most {limit}x) {verdict}")
