#!/usr/bin/env python3
"""Renames up to three defined global names per member across each
toolchain's C library archive in one list-mode run, and holds the result
against that toolchain's objcopy --redefine-syms with the same list: nm -s
prints the same index and symbols for both, the report is the lines the
members give one after another, the archive keeps its length, and no byte
changes outside the members' .strtab and the index's names.
"""
import os
import shutil
import tempfile

import archives_test as archives
import realtools as rt


def body():
    tool = rt.namepatch_binary()
    for chain in rt.TOOLCHAINS:
        rt.require_tools(chain.cross + "objcopy", chain.cross + "nm")
        if not os.path.isfile(chain.libc):
            raise rt.Failure(f"{chain.libc} is missing (test.sh installs it)")
        with tempfile.TemporaryDirectory(prefix="namepatch-libc-archive-") as work:
            check_library(tool, work, chain)


def check_library(tool, work, chain):
    with open(chain.libc, "rb") as f:
        before = f.read()
    library = archives.Library(before)
    objects = [obj for _, obj in library.parts]
    pairs, matching = archives.choose_pairs(objects, archives.PAIRS_PER_MEMBER)
    list_path = os.path.join(work, "pairs.txt")
    with open(list_path, "w") as f:
        f.writelines(f"{old} {new}\n" for old, new in pairs)
    # Both results under one name, so that nm prints them alike.
    for d in ("namepatch", "objcopy"):
        os.mkdir(os.path.join(work, d))
    ours = os.path.join(work, "namepatch", "libc.a")
    peer = os.path.join(work, "objcopy", "libc.a")
    shutil.copyfile(chain.libc, ours)
    result = rt.run([tool, "-a", list_path, ours])
    report = "".join(rt.expected_report(obj, m) for obj, m in zip(objects, matching))
    if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
        raise rt.Failure(f"{chain.name}: status {result.returncode}, stdout "
                         f"{result.stdout[:2000]!r}, stderr {result.stderr!r}")
    with open(ours, "rb") as f:
        after = f.read()
    if len(after) != len(before):
        raise rt.Failure(f"{chain.name}: length changed from {len(before)} to {len(after)}")
    where = archives.changed_outside(before, after, library.changeable())
    if where is not None:
        raise rt.Failure(f"{chain.name}: byte {where} changed outside the names")
    rt.run_ok([chain.cross + "objcopy", "--redefine-syms=" + list_path, chain.libc, peer])
    nm = [rt.run_ok([chain.cross + "nm", "-s", "libc.a"], cwd=os.path.dirname(path)).stdout
          for path in (ours, peer)]
    if nm[0] != nm[1]:
        raise rt.Failure(f"{chain.name}: nm -s differs from objcopy's result")
    if not pairs or after == before:
        raise rt.Failure(f"{chain.name}: nothing was renamed")
    print(f"{chain.name}: {len(objects)} members, {len(pairs)} pairs, "
          f"{report.count(chr(10))} symbols renamed")


if __name__ == "__main__":
    rt.main(body)
