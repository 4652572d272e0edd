#!/usr/bin/env python3
"""Renames with -g in every static library of the cross C library directory,
twice: a mixed list (new names of the old length, of names stored inside
longer names, longer and shorter ones) and a prefix on every defined global
name. Each result must list what objcopy --redefine-syms gives for the same
list (nm -s), report one line per renamed symbol, and change no byte outside
the places growth may touch: in a member that grew, the .strtab section
header's sh_offset and sh_size, the symbols' st_name, the old table (cleared)
and the new table after the old end; in the archive, the grown members'
header size fields, their padding and the index. A renamed-away name is left
in the new table only inside a name still in use.
"""
import glob
import os
import shutil
import struct
import tempfile

import realtools as rt
from archives_test import LIBDIR, STB_GLOBAL, STB_WEAK

PREFIX = "acme_"


def members(data):
    """(name field, header, data) of each member; a plain object is one."""
    if data[:8] != b"!<arch>\n":
        return [(b"", b"", data)]
    found, at = [], 8
    while at < len(data):
        size = int(data[at + 48:at + 58])
        found.append((data[at:at + 16], data[at:at + 60], data[at + 60:at + 60 + size]))
        at += 60 + size + (size & 1)
    return found


def defined_globals(objects):
    names = {}
    for obj in objects:
        for sym in obj.symbols:
            if sym.name and sym.shndx != 0 and sym.bind in (STB_GLOBAL, STB_WEAK):
                names.setdefault(sym.name, obj)
    return names


def stored_inside(obj):
    """Names of obj's symbols whose bytes end another, longer name."""
    offset, size = obj.strtab_region()
    table = obj.data[offset:offset + size]
    return {sym.name for sym in obj.symbols
            if sym.name and sym.st_name > 0 and table[sym.st_name - 1] != 0}


def mixed_pairs(objects):
    """Per defined global, in turn: the same length, longer, shorter; a name
    stored inside another keeps its length, so that only growth can take it.
    Old and new names are each used once, as objcopy requires."""
    taken = {sym.name for obj in objects for sym in obj.symbols if sym.name}
    inside = set().union(*(stored_inside(obj) for obj in objects)) if objects else set()
    pairs = []
    for k, old in enumerate(defined_globals(objects)):
        kind = 0 if old in inside else k % 3
        for c in "QZXJqzxj":
            new = [c + old[1:], old + "_" + c, c + old[2:] if len(old) > 2 else c + old][kind]
            if new not in taken:
                break
        else:
            continue
        taken.add(new)
        pairs.append((old, new))
    return pairs


def report_of(objects, pairs):
    order = {old: k for k, (old, _) in enumerate(pairs)}
    lines = []
    for obj in objects:
        found = sorted((order[s.name], s.index) for s in obj.symbols if s.name in order)
        lines += [f"<{pairs[k][0]}> -> <{pairs[k][1]}> changed\n" for k, _ in found]
    return "".join(lines)


def check_member(label, before, after, renamed):
    """Holds after, a renamed object, to the places growth may touch."""
    if len(after.data) == len(before.data):
        region = before.strtab_region()
        if not rt.same_outside(before.data, after.data, region):
            raise rt.Failure(f"{label}: renamed in place outside .strtab")
        return
    wide = before.data[4] == 2
    shoff = struct.unpack_from((">" if before.data[5] == 2 else "<") + ("Q" if wide else "I"),
                               before.data, 40 if wide else 32)[0]
    shentsize = 64 if wide else 40
    header = shoff + before.strtab * shentsize
    allowed = [(header + (24 if wide else 16), 16 if wide else 8), before.strtab_region()]
    allowed += [(before.sections[before.symtab][1] + s.index * (24 if wide else 16), 4)
                for s in before.symbols]
    old_offset, old_size = before.strtab_region()
    new_offset, new_size = after.strtab_region()
    if new_offset < len(before.data) or new_offset + new_size != len(after.data):
        raise rt.Failure(f"{label}: the new .strtab is not at the end")
    masked = [bytearray(before.data), bytearray(after.data[:len(before.data)])]
    for offset, size in allowed:
        for data in masked:
            data[offset:offset + size] = bytes(size)
    if masked[0] != masked[1]:
        raise rt.Failure(f"{label}: a byte changed outside the places growth may touch")
    if after.data[old_offset:old_offset + old_size].strip(b"\0"):
        raise rt.Failure(f"{label}: the old .strtab was not cleared")
    table = after.data[new_offset:new_offset + new_size]
    spans = [(s.st_name, s.st_name + len(s.name)) for s in after.symbols if s.name]
    if after.shstrndx == after.strtab:
        spans += [(sh_name, sh_name + len(name)) for name, _, _, sh_name in after.sections]
    for old in renamed:
        at = table.find(old.encode())
        while at >= 0:
            if not any(b <= at and at + len(old) <= e for b, e in spans):
                raise rt.Failure(f"{label}: renamed-away <{old}> is still in .strtab")
            at = table.find(old.encode(), at + 1)
    carriers = {}
    for before_sym, after_sym in zip(before.symbols, after.symbols):
        if before_sym.name not in renamed and before_sym.st_name != after_sym.st_name:
            raise rt.Failure(f"{label}: <{before_sym.name}> moved in .strtab")
        if before_sym.name in renamed:
            carriers.setdefault(after_sym.name, set()).add(after_sym.st_name)
    if any(len(offsets) > 1 for offsets in carriers.values()):
        raise rt.Failure(f"{label}: a new name is stored more than once")


def check_run(tool, work, path, kind, pairs):
    base = os.path.basename(path)
    with open(path, "rb") as f:
        before = f.read()
    parts = [(name, rt.Object(data)) for name, _, data in members(before)
             if data[:4] == b"\x7fELF"]
    objects = [obj for _, obj in parts]
    list_path = os.path.join(work, f"{kind}-{base}.list")
    with open(list_path, "w") as f:
        f.writelines(f"{old} {new}\n" for old, new in pairs)
    ours = os.path.join(work, f"{kind}-{base}")
    peer = os.path.join(work, f"{kind}-objcopy-{base}")
    shutil.copyfile(path, ours)
    result = rt.run([tool, "-g", "-a", list_path, ours])
    report = report_of(objects, pairs)
    if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
        raise rt.Failure(f"{base}, {kind}: status {result.returncode}, "
                         f"stderr {result.stderr[:2000]!r}")
    rt.run_ok([rt.CROSS + "objcopy", "--redefine-syms=" + list_path, path, peer])
    if rt.run_ok([rt.CROSS + "nm", "-s", ours]).stdout.replace(ours.encode(), b"") != \
            rt.run_ok([rt.CROSS + "nm", "-s", peer]).stdout.replace(peer.encode(), b""):
        raise rt.Failure(f"{base}, {kind}: nm -s differs from objcopy's")
    with open(ours, "rb") as f:
        after = members(f.read())
    olds = {old for old, _ in pairs}
    grown = 0
    for (name, header, data), (new_name, new_header, new_data) in zip(members(before), after):
        if name != new_name or (header[:48] + header[58:]) != (new_header[:48] + new_header[58:]):
            raise rt.Failure(f"{base}, {kind}: member {name!r} header changed beyond its size")
        if data[:4] != b"\x7fELF" or name.rstrip() == b"/":
            continue
        obj = rt.Object(data)
        check_member(f"{base}({name.decode().rstrip()}), {kind}", obj, rt.Object(new_data),
                     {s.name for s in obj.symbols if s.name in olds})
        grown += len(new_data) != len(data)
    print(f"{base}, {kind}: {len(pairs)} pairs, {report.count(chr(10))} renamed, "
          f"{grown} of {len(objects)} objects grew")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "objcopy", rt.CROSS + "nm")
    paths = sorted(glob.glob(os.path.join(LIBDIR, "*.a")))
    with tempfile.TemporaryDirectory(prefix="namepatch-growth-") as work:
        for path in paths:
            with open(path, "rb") as f:
                objects = [rt.Object(d) for _, _, d in members(f.read()) if d[:4] == b"\x7fELF"]
            check_run(tool, work, path, "mixed", mixed_pairs(objects))
            check_run(tool, work, path, "prefix",
                      [(old, PREFIX + old) for old in defined_globals(objects)])


if __name__ == "__main__":
    rt.main(body)
