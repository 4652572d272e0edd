#!/usr/bin/env python3
"""Compiles C sources of our own into big-endian PowerPC objects, renames
symbols in them with namepatch in single-pair and list mode, and checks the
results with the cross readelf and nm: exactly the asked symbols changed,
sections unchanged, and every byte outside .strtab identical.
"""
import os
import shutil
import tempfile

import realtools as rt

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sources")
BUILDS = {"O2": ["-O2"], "O0-g-pic": ["-O0", "-g", "-fPIC"], "Os-sections": ["-Os",
          "-ffunction-sections", "-fdata-sections"]}

# Each case is applied to every object; names an object lacks change nothing.
CASES = [
    ("function", [("motor_step", "motor_walk")]),
    ("data, reference and import", [("motor_speed", "engine_rate"),
                                    ("board_read", "board_poll"),
                                    ("motor_limits", "motor_bounds")]),
    ("locals", [("motor_ticks", "motor_count"), ("clamp", "bound")]),
    ("alias stored in another name", [("motor_stop", "motor_halt")]),
    ("alias with its target", [("__motor_stop", "__motor_halt"), ("motor_stop", "motor_halt")]),
    ("head of a name with a stored tail", [("__motor_stop", "Q_motor_stop")]),
    ("swapped", [("motor_speed", "motor_ticks"), ("motor_ticks", "motor_speed")]),
    ("chained", [("motor_label", "motor_ticks"), ("motor_ticks", "motor_count")]),
    ("same old name twice", [("board_run", "board_go_"), ("board_run", "board_ran")]),
    ("no such name", [("not_there", "not_here_")]),
]


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "gcc", rt.CROSS + "readelf", rt.CROSS + "nm")
    with tempfile.TemporaryDirectory(prefix="namepatch-own-") as work:
        outcomes = check_all(tool, work)
    print(f"renames checked: {outcomes['renamed']}, refusals checked: {outcomes['refused']}")
    if outcomes["refused"] == 0 or outcomes["renamed"] == 0:
        raise rt.Failure("the compiled objects gave no refusal or no rename to check")


def check_all(tool, work):
    outcomes = {"renamed": 0, "refused": 0}
    for source in sorted(os.listdir(SOURCES)):
        for build, flags in BUILDS.items():
            obj = os.path.join(work, f"{source[:-2]}-{build}.o")
            rt.run_ok([rt.CROSS + "gcc", *flags, "-c", os.path.join(SOURCES, source), "-o", obj])
            for label, pairs in CASES:
                for mode in ("single", "list") if len(pairs) == 1 else ("list",):
                    what = f"{os.path.basename(obj)}, {label}, {mode}"
                    check_case(tool, work, obj, pairs, mode, what, outcomes)
    return outcomes


def check_case(tool, work, original, pairs, mode, what, outcomes):
    target = os.path.join(work, "target.o")
    shutil.copyfile(original, target)
    if mode == "single":
        (old, new), = pairs
        args = ["-c", old, "-n", new]
    else:
        list_path = os.path.join(work, "pairs.txt")
        with open(list_path, "w") as f:
            f.writelines(f"{old}\t{new}\r\n" for old, new in pairs)
        args = ["-a", list_path]
    result = rt.run([tool, *args, target])
    with open(original, "rb") as f:
        before = f.read()
    with open(target, "rb") as f:
        after = f.read()
    obj = rt.Object(before)

    victim = rt.predict_clash(obj, pairs)
    if victim is not None:
        writer = next(old for old, _ in pairs if rt.predict_clash(obj, [p for p in pairs
                                                                          if p[0] == old]))
        expected_err = (f"ERROR: renaming <{writer}> would also change <{victim}> in {target}\n"
                        "namepatch: -g lets the string table grow to take this rename\n")
        got = (result.returncode, result.stdout, result.stderr.decode("latin-1"))
        if got != (1, b"", expected_err) or after != before:
            raise rt.Failure(f"{what}: expected refusal {expected_err!r}, got {got}")
        outcomes["refused"] += 1
        return

    report = rt.expected_report(obj, pairs)
    got = (result.returncode, result.stdout.decode("latin-1"), result.stderr)
    if got != (0, report, b""):
        raise rt.Failure(f"{what}: expected {report!r}, got {got}")
    renames = {}
    for old, new in pairs:
        if any(s.name == old for s in obj.symbols):
            renames[old] = new  # the later pair of an old name wins

    sym_before = rt.readelf_symbols([original])[original]
    sym_after = rt.readelf_symbols([target])[target]
    expected_syms = [row[:6] + (renames.get(row[6], row[6]),) for row in sym_before]
    if sym_after != expected_syms:
        raise rt.Failure(f"{what}: readelf symbols {sym_after} != {expected_syms}")
    expected_nm = [renames.get(n, n) for n in rt.nm_names(original)]
    if sorted(rt.nm_names(target)) != sorted(expected_nm):
        raise rt.Failure(f"{what}: nm names differ")
    sections = rt.readelf_sections(original)
    if rt.readelf_sections(target) != sections:
        raise rt.Failure(f"{what}: section headers changed")
    strtab = [(offset, size) for name, _, offset, size in sections if name == ".strtab"]
    if len(strtab) != 1 or not rt.same_outside(before, after, strtab[0]):
        raise rt.Failure(f"{what}: bytes outside .strtab changed")
    if renames:
        outcomes["renamed"] += 1
    elif after != before:
        raise rt.Failure(f"{what}: nothing matched, yet the object changed")


if __name__ == "__main__":
    rt.main(body)
