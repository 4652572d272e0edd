#!/usr/bin/env python3
"""Renames with -g in every static library of the cross C library directory
and every other layout's C library, with a mixed list (same-length names for
names stored inside longer ones, longer and shorter ones, one another symbol
carries) and with a prefix. nm -s must equal objcopy --redefine-syms', the
report one line per renamed symbol; growth may touch only member sizes,
padding, the index and, in a grown member, .strtab's header, st_name, the old
table (cleared) and the new one at the end, where each new name is once and a
renamed-away name only inside a name in use.
"""
import glob
import os
import re
import shutil
import struct
import tempfile

import realtools as rt
from archives_test import LIBDIR, STB_GLOBAL, STB_WEAK


def members(data):
    """(header less its size field, data) of each member; an object is one."""
    if data[:8] != b"!<arch>\n":
        return [(b"", data)]
    found, at = [], 8
    while at < len(data):
        size = int(data[at + 48:at + 58])
        found.append((data[at:at + 48] + data[at + 58:at + 60], data[at + 60:at + 60 + size]))
        at += 60 + size + (size & 1)
    return found


def mixed_pairs(objects):
    taken = {s.name for obj in objects for s in obj.symbols if s.name}
    inside = set()
    for obj in objects:
        offset, size = obj.strtab_region()
        inside |= {s.name for s in obj.symbols if s.name and obj.data[offset + s.st_name - 1]}
    pairs = {}
    for obj in objects:
        for s in obj.symbols:
            if (s.name in pairs or not s.name or s.shndx == 0
                    or s.bind not in (STB_GLOBAL, STB_WEAK)):
                continue
            kind = 0 if s.name in inside else len(pairs) % 3
            for c in "QZXJqzxj":
                new = [c + s.name[1:], s.name + "_" + c, c + s.name[2:]][kind]
                if new not in taken:
                    taken.add(new)
                    pairs[s.name] = new
                    break
    # One new name that another symbol already carries, which is accepted.
    carried = next((n for n in sorted(taken) if n not in pairs and n not in pairs.values()), None)
    if pairs and carried:
        pairs[next(iter(pairs))] = carried
    return list(pairs.items())


def check_member(label, before, after, renamed):
    if len(after.data) == len(before.data):
        if not rt.same_outside(before.data, after.data, before.strtab_region()):
            raise rt.Failure(f"{label}: renamed in place outside .strtab")
        return
    wide = before.data[4] == 2
    order = ">" if before.data[5] == 2 else "<"
    shoff, = struct.unpack_from(order + "IQ"[wide], before.data, 40 if wide else 32)
    entry, symtab = 24 if wide else 16, before.sections[before.symtab][1]
    header = shoff + before.strtab * (64 if wide else 40)
    allowed = [before.strtab_region(), (header + entry, entry)]
    allowed += [(symtab + s.index * entry, 4) for s in before.symbols]
    masked = [bytearray(before.data), bytearray(after.data[:len(before.data)])]
    for offset, size in allowed:
        for data in masked:
            data[offset:offset + size] = bytes(size)
    old, new = before.strtab_region(), after.strtab_region()
    table = after.data[new[0]:]
    spans = [(s.st_name, s.st_name + len(s.name)) for s in after.symbols if s.name]
    if after.shstrndx == after.strtab:
        spans += [(n, n + len(name)) for name, _, _, n in after.sections]
    # Every place a renamed-away name still reads, overlapping ones too.
    stale = [name for name in renamed
             for m in re.finditer(b"(?=%s)" % re.escape(name.encode()), table)
             if not any(b <= m.start() and m.start() + len(name) <= e for b, e in spans)]
    carriers = {}
    for b, a in zip(before.symbols, after.symbols):
        carriers.setdefault(a.name, set()).add(a.st_name if b.name in renamed else -b.st_name)
        if b.name not in renamed and a.st_name != b.st_name:
            stale.append(b.name)
    if (masked[0] != masked[1] or after.data[old[0]:old[0] + old[1]].strip(b"\0") or stale
            or new[0] + new[1] != len(after.data) or new[0] < len(before.data)
            or any(len({o for o in offsets if o >= 0}) > 1 for offsets in carriers.values())):
        raise rt.Failure(f"{label}: changed outside growth's places, or names left: {stale[:5]}")


def check_run(tool, work, path, kind, pairs, objects, cross=rt.CROSS):
    base = f"{kind}-{cross}{os.path.basename(path)}"
    with open(os.path.join(work, base + ".list"), "w") as f:
        f.writelines(f"{old} {new}\n" for old, new in pairs)
    ours, peer = os.path.join(work, base), os.path.join(work, "objcopy-" + base)
    shutil.copyfile(path, ours)
    result = rt.run([tool, "-g", "-a", f.name, ours])
    order = {old: k for k, (old, _) in enumerate(pairs)}
    report = "".join(f"<{pairs[k][0]}> -> <{pairs[k][1]}> changed\n" for obj in objects
                     for k, _ in sorted((order[s.name], s.index) for s in obj.symbols
                                        if s.name in order))
    if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
        raise rt.Failure(f"{base}: status {result.returncode}, stderr {result.stderr[:2000]!r}")
    rt.run_ok([cross + "objcopy", "--redefine-syms=" + f.name, path, peer])
    nm = [rt.run_ok([cross + "nm", "-s", p]).stdout.replace(p.encode(), b"")
          for p in (ours, peer)]
    if nm[0] != nm[1]:
        raise rt.Failure(f"{base}: nm -s differs from objcopy's")
    with open(path, "rb") as before, open(ours, "rb") as after:
        pairs_of_members = list(zip(members(before.read()), members(after.read())))
    grown = 0
    for (header, data), (new_header, new_data) in pairs_of_members:
        if header != new_header:
            raise rt.Failure(f"{base}: a member header changed beyond its size")
        if data[:4] == b"\x7fELF":
            obj = rt.Object(data)
            check_member(f"{base}({header[:16].decode().strip()})", obj, rt.Object(new_data),
                         {s.name for s in obj.symbols if s.name in order})
            grown += len(new_data) != len(data)
    print(f"{base}: {len(pairs)} pairs, {report.count(chr(10))} renamed, {grown} objects grew")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "objcopy", rt.CROSS + "nm")
    # Every library of the PowerPC C library, then every other layout's libc.a.
    runs = [(path, rt.CROSS) for path in sorted(glob.glob(os.path.join(LIBDIR, "*.a")))]
    runs += [(chain.libc, chain.cross) for chain in rt.TOOLCHAINS if chain.cross != rt.CROSS]
    with tempfile.TemporaryDirectory(prefix="namepatch-growth-") as work:
        for path, cross in runs:
            with open(path, "rb") as f:
                objects = [rt.Object(d) for _, d in members(f.read()) if d[:4] == b"\x7fELF"]
            mixed = mixed_pairs(objects)
            check_run(tool, work, path, "mixed", mixed, objects, cross)
            check_run(tool, work, path, "prefix", [(old, "acme_" + old) for old, _ in mixed],
                      objects, cross)


if __name__ == "__main__":
    rt.main(body)
