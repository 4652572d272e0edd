#!/usr/bin/env python3
"""Renames up to three defined global names in every member of the cross C
library in list mode, one run per object, and holds each result against GNU
objcopy --redefine-syms with the same list.

An object whose renames keep every name as asked must come out with objcopy's
symbol table and with every byte outside .strtab unchanged. An object where a
new name would overwrite bytes that another name shares must be refused with
the clash message and left as it was. Which of the two applies is predicted
here independently, from the object's own tables.
"""
import os
import re
import shutil
import tempfile

import realtools as rt

LIBC = "/usr/powerpc-linux-gnu/lib/libc.a"
PAIRS_PER_OBJECT = 3
STB_GLOBAL, STB_WEAK = 1, 2


def new_name(old, taken):
    """A name of old's length, differing in its first byte, that the object
    does not hold yet: renaming never merges two names."""
    for c in "QZXJqzxj":
        candidate = c + old[1:]
        if candidate != old and candidate not in taken:
            return candidate
    raise rt.Failure(f"no free new name for {old}")


def choose_pairs(obj):
    taken = {s.name for s in obj.symbols if s.name}
    pairs = []
    for sym in obj.symbols:
        if (sym.name and sym.shndx != 0 and sym.bind in (STB_GLOBAL, STB_WEAK)
                and sym.name not in (p[0] for p in pairs)):
            new = new_name(sym.name, taken)
            taken.add(new)
            pairs.append((sym.name, new))
            if len(pairs) == PAIRS_PER_OBJECT:
                break
    return pairs


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "ar", rt.CROSS + "objcopy", rt.CROSS + "readelf")
    if not os.path.isfile(LIBC):
        raise rt.Failure(f"{LIBC} is missing (package libc6-dev-powerpc-cross)")
    with tempfile.TemporaryDirectory(prefix="namepatch-libc-") as work:
        check_library(tool, work)


def check_library(tool, work):
    original_dir = os.path.join(work, "original")
    ours_dir = os.path.join(work, "namepatch")
    peer_dir = os.path.join(work, "objcopy")
    for d in (original_dir, ours_dir, peer_dir):
        os.mkdir(d)
    rt.run_ok([rt.CROSS + "ar", "x", LIBC], cwd=original_dir)
    members = rt.run_ok([rt.CROSS + "ar", "t", LIBC]).stdout.decode().split()
    if len(set(members)) != len(members) or len(members) < 1000:
        raise rt.Failure(f"unexpected library contents: {len(members)} members")

    checked = applied = renamed = refused = 0
    accepted = []
    for member in members:
        source = os.path.join(original_dir, member)
        with open(source, "rb") as f:
            before = f.read()
        obj = rt.Object(before)
        pairs = choose_pairs(obj)
        list_path = os.path.join(work, member + ".list")
        with open(list_path, "w") as f:
            f.writelines(f"{old} {new}\n" for old, new in pairs)
        ours = os.path.join(ours_dir, member)
        shutil.copyfile(source, ours)
        result = rt.run([tool, "-a", list_path, ours])
        with open(ours, "rb") as f:
            after = f.read()
        checked += 1
        victim = predict_clash(obj, pairs)
        if victim is not None:
            refused += 1
            check_refusal(member, result, pairs, ours, before, after)
            continue
        report = rt.expected_report(obj, pairs)
        if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
            raise rt.Failure(f"{member}: status {result.returncode}, stdout "
                             f"{result.stdout!r}, stderr {result.stderr!r}; expected {report!r}")
        if not rt.same_outside(before, after, obj.strtab_region()):
            raise rt.Failure(f"{member}: bytes outside .strtab changed")
        rt.run_ok([rt.CROSS + "objcopy", "--redefine-syms", list_path, source,
                   os.path.join(peer_dir, member)])
        accepted.append(member)
        applied += len(pairs)
        renamed += report.count("\n")
        os.remove(list_path)

    ours_tables = rt.readelf_symbols([os.path.join(ours_dir, m) for m in accepted])
    peer_tables = rt.readelf_symbols([os.path.join(peer_dir, m) for m in accepted])
    compared = 0
    for member in accepted:
        ours = ours_tables[os.path.join(ours_dir, member)]
        peer = peer_tables[os.path.join(peer_dir, member)]
        if ours != peer:
            raise rt.Failure(f"{member}: symbol table differs from objcopy's:\n{ours}\n{peer}")
        compared += len(ours)

    print(f"objects checked: {checked}")
    print(f"objects accepted and matching objcopy: {len(accepted)} ({compared} symbols)")
    print(f"pairs applied: {applied} (symbols renamed: {renamed})")
    print(f"objects refused for shared name bytes: {refused}")
    if refused == 0 or not accepted:
        raise rt.Failure("expected both accepted and refused objects in the library")


def predict_clash(obj, pairs):
    return rt.predict_clash(obj, pairs) if obj.strtab is not None and pairs else None


CLASH = re.compile(r"ERROR: renaming <([^>]*)> would also change <([^>]*)> in (.*)\n"
                   r"namepatch: -g lets the string table grow to take this rename\n")


def check_refusal(member, result, pairs, path, before, after):
    err = result.stderr.decode("latin-1")
    m = CLASH.fullmatch(err)
    if result.returncode != 1 or result.stdout or m is None:
        raise rt.Failure(f"{member}: expected a refusal, got status {result.returncode}, "
                         f"stdout {result.stdout!r}, stderr {err!r}")
    if m.group(1) not in (old for old, _ in pairs) or m.group(3) != path:
        raise rt.Failure(f"{member}: refusal names the wrong pair or path: {err!r}")
    if after != before:
        raise rt.Failure(f"{member}: a refused object was changed")


if __name__ == "__main__":
    rt.main(body)
