#!/usr/bin/env python3
"""Assembles an object of 70,000 sections with each toolchain's assembler,
which writes it with extended section numbering (e_shnum 0, e_shstrndx
SHN_XINDEX, the real values in section 0), renames symbols in it with
namepatch in single-pair and list mode, and checks the results with that
toolchain's readelf and nm: exactly the asked symbols changed, the section
headers are unchanged, and every byte outside .strtab is identical.
"""
import os
import re
import shutil
import tempfile

import realtools as rt

SECTIONS = 70000

# Names in the first sections, and around and past the 16-bit section index.
SINGLE = ("func_00007", "renm_00007")
LIST = [("func_65279", "edge_65279"), ("func_65535", "xmax_65535"),
        ("func_69999", "last_69999"), ("func_00007", "list_00007")]


def body():
    tool = rt.namepatch_binary()
    for chain in rt.TOOLCHAINS:
        cross = chain.cross
        rt.require_tools(cross + "as", cross + "readelf", cross + "nm")
        with tempfile.TemporaryDirectory(prefix="namepatch-many-") as work:
            original = assemble(work, cross)
            check_rename(tool, work, cross, original, f"{chain.name} single",
                         ["-c", SINGLE[0], "-n", SINGLE[1]], [SINGLE])
            list_path = os.path.join(work, "pairs.txt")
            with open(list_path, "w") as f:
                f.writelines(f"{old} {new}\n" for old, new in LIST)
            check_rename(tool, work, cross, original, f"{chain.name} list", ["-a", list_path],
                         LIST)


def assemble(work, cross):
    source = os.path.join(work, "many.s")
    with open(source, "w") as f:
        for i in range(SECTIONS):
            f.write(f'\t.section .text.f{i},"ax",%progbits\n\t.globl func_{i:05d}\n'
                    f"func_{i:05d}:\n")
            # A reference now and then, written the same on every machine, so
            # that the object has relocation sections too.
            f.write(f"\t.long func_{(i * 7919) % SECTIONS:05d}\n" if i % 1000 == 0 else "")
    obj = os.path.join(work, "many.o")
    rt.run_ok([cross + "as", "-o", obj, source])
    header = rt.run_ok([cross + "readelf", "-h", obj]).stdout.decode("latin-1")
    if not re.search(r"Number of section headers:\s+0 \((\d+)\)", header):
        raise rt.Failure(f"the assembler did not use extended section numbering:\n{header}")
    return obj


def check_rename(tool, work, cross, original, what, args, pairs):
    target = os.path.join(work, what.replace(" ", "-") + ".o")
    shutil.copyfile(original, target)
    result = rt.run([tool, *args, target])
    report = "".join(f"<{old}> -> <{new}> changed\n" for old, new in pairs)
    got = (result.returncode, result.stdout.decode("latin-1"), result.stderr)
    if got != (0, report, b""):
        raise rt.Failure(f"{what}: expected {report!r}, got {got}")
    renames = dict(pairs)

    sym_before = rt.readelf_symbols([original], cross)[original]
    sym_after = rt.readelf_symbols([target], cross)[target]
    if len(sym_before) < SECTIONS:
        raise rt.Failure(f"{what}: readelf shows only {len(sym_before)} symbols")
    expected = [row[:6] + (renames.get(row[6], row[6]),) for row in sym_before]
    if sym_after != expected:
        changed = [(a, b) for a, b in zip(sym_after, expected) if a != b][:5]
        raise rt.Failure(f"{what}: readelf symbols differ, first: {changed}")
    if sorted(rt.nm_names(target, cross)) != sorted(
            renames.get(n, n) for n in rt.nm_names(original, cross)):
        raise rt.Failure(f"{what}: nm names differ")

    headers = [rt.run_ok([cross + "readelf", "-SW", path]).stdout for path in (original, target)]
    if headers[0] != headers[1]:
        raise rt.Failure(f"{what}: section headers changed")
    strtab = [(offset, size) for name, _, offset, size in rt.readelf_sections(original, cross)
              if name == ".strtab"]
    with open(original, "rb") as f:
        before = f.read()
    with open(target, "rb") as f:
        after = f.read()
    if len(strtab) != 1 or not rt.same_outside(before, after, strtab[0]) or after == before:
        raise rt.Failure(f"{what}: the object did not change only inside .strtab")
    print(f"{what}: {len(pairs)} names renamed among {len(sym_before)} symbols")


if __name__ == "__main__":
    rt.main(body)
