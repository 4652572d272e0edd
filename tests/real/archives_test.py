#!/usr/bin/env python3
"""Renames global names in every static library of the cross C library
directory, one run per library, and holds each result against GNU objcopy
--redefine-syms with the same list: every member's symbol table and the
archive index must come out as objcopy's, the report must be the lines the
members would give as objects one after another, and no byte may change
outside the members' .strtab and the index's names; with -g, byte for byte
the same. Each library is then prefixed with -p and held against objcopy
--redefine-syms with the list that nm --defined-only -g gives for it. Every
other layout's C library takes the first checks against its own binutils.

One list applies to every member of a library, so each pair is chosen such
that no member holding its old name would see another name change with it;
new names are held by no member. A file among the libraries that is a plain
object goes through the same checks as a library of one member.
"""
import glob
import os
import shutil
import struct
import tempfile

import realtools as rt

LIBDIR = "/usr/powerpc-linux-gnu/lib"
PAIRS_PER_MEMBER = 3
STB_GLOBAL, STB_WEAK = 1, 2


class Library:
    """The ELF parts of a file as (offset, Object) in file order, and the
    (offset, size) of the index's names; a plain object is one part."""

    def __init__(self, data):
        self.parts = []
        self.index_names = (0, 0)
        if data[:8] != b"!<arch>\n":
            self.parts.append((0, rt.Object(data)))
            return
        at = 8
        while at < len(data):
            name = data[at:at + 16].rstrip(b" ")
            size = int(data[at + 48:at + 58])
            offset = at + 60
            if name == b"/":
                count, = struct.unpack_from(">I", data, offset)
                start = offset + 4 + 4 * count
                self.index_names = (start, offset + size - start)
            elif name != b"//" and data[offset:offset + 4] == b"\x7fELF":
                self.parts.append((offset, rt.Object(data[offset:offset + size])))
            at = offset + size + (size & 1)

    def changeable(self):
        """The regions where renames may write, in file order."""
        regions = [(offset + obj.strtab_region()[0], obj.strtab_region()[1])
                   for offset, obj in self.parts]
        return sorted(regions + [self.index_names])


def new_name(old, taken):
    for c in "QZXJqzxj":
        candidate = c + old[1:]
        if candidate != old and candidate not in taken:
            return candidate
    raise rt.Failure(f"no free new name for {old}")


def choose_pairs(objects, per_member):
    """Pairs in list order, and for each object the pairs that match in it:
    up to per_member defined global names of each object, taken only when
    no object holding the name would refuse the list."""
    taken = set()
    holders = {}
    for i, obj in enumerate(objects):
        for sym in obj.symbols:
            if sym.name:
                taken.add(sym.name)
                holders.setdefault(sym.name, set()).add(i)
    pairs = []
    olds = set()
    matching = [[] for _ in objects]
    for obj in objects:
        chosen = 0
        for sym in obj.symbols:
            if chosen == per_member:
                break
            if (not sym.name or sym.shndx == 0 or sym.bind not in (STB_GLOBAL, STB_WEAK)
                    or sym.name in olds):
                continue
            pair = (sym.name, new_name(sym.name, taken))
            holding = sorted(holders[sym.name])
            if any(rt.predict_clash(objects[j], matching[j] + [pair]) for j in holding):
                continue
            taken.add(pair[1])
            olds.add(pair[0])
            pairs.append(pair)
            for j in holding:
                matching[j].append(pair)
            chosen += 1
    return pairs, matching


def archive_index(path, cross=rt.CROSS):
    """The "Archive index:" lines of nm -s, in order; none for an object."""
    lines = rt.run_ok([cross + "nm", "-s", path]).stdout.decode("latin-1").splitlines()
    if "Archive index:" not in lines:
        return []
    rest = lines[lines.index("Archive index:") + 1:]
    return rest[:rest.index("")] if "" in rest else rest


def symbol_tables(path, cross=rt.CROSS):
    text = rt.run_ok([cross + "readelf", "-Ws", path]).stdout.decode("latin-1")
    return text.replace(path, "<library>")


def changed_outside(before, after, regions):
    """The first offset where after differs from before outside regions."""
    start = 0
    for offset, size in regions + [(len(before), 0)]:
        if before[start:offset] != after[start:offset]:
            return next(i for i in range(start, offset) if before[i] != after[i])
        start = max(start, offset + size)
    return None


def check_library(tool, work, path, cross=rt.CROSS):
    base = cross + os.path.basename(path)
    with open(path, "rb") as f:
        before = f.read()
    library = Library(before)
    objects = [obj for _, obj in library.parts]
    pairs, matching = choose_pairs(objects, PAIRS_PER_MEMBER)
    list_path = os.path.join(work, base + ".list")
    with open(list_path, "w") as f:
        f.writelines(f"{old} {new}\n" for old, new in pairs or [("no_such_name", "no_such_nome")])
    ours = os.path.join(work, base)
    peer = os.path.join(work, "objcopy-" + base)
    shutil.copyfile(path, ours)
    result = rt.run([tool, "-a", list_path, ours])
    report = "".join(rt.expected_report(obj, m) for obj, m in zip(objects, matching))
    if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
        raise rt.Failure(f"{base}: status {result.returncode}, stdout {result.stdout[:2000]!r}, "
                         f"stderr {result.stderr!r}; expected {report[:2000]!r}")
    with open(ours, "rb") as f:
        after = f.read()
    if len(after) != len(before):
        raise rt.Failure(f"{base}: length changed from {len(before)} to {len(after)}")
    grown = os.path.join(work, "g-" + base)
    shutil.copyfile(path, grown)
    rt.run_ok([tool, "-g", "-a", list_path, grown])
    with open(grown, "rb") as f:
        if f.read() != after:
            raise rt.Failure(f"{base}: -g wrote renames that fit in place otherwise")
    where = changed_outside(before, after, library.changeable())
    if where is not None:
        raise rt.Failure(f"{base}: byte {where} changed outside .strtab and the index's names")
    rt.run_ok([cross + "objcopy", "--redefine-syms=" + list_path, path, peer])
    if symbol_tables(ours, cross) != symbol_tables(peer, cross):
        raise rt.Failure(f"{base}: symbol tables differ from objcopy's")
    index = archive_index(ours, cross)
    if index != archive_index(peer, cross):
        raise rt.Failure(f"{base}: archive index differs from objcopy's")
    # Every chosen name is a defined global, which the index lists.
    if pairs and library.index_names[1] and index == archive_index(path, cross):
        raise rt.Failure(f"{base}: the archive index did not follow the renames")
    renamed = report.count("\n")
    print(f"{base}: {len(objects)} objects, {len(pairs)} pairs, {renamed} symbols renamed, "
          f"{len(index)} index entries")
    return renamed


def check_prefix(tool, work, path, prefix="acme_"):
    """-p against objcopy with the list of nm --defined-only -g, which also
    renames a local symbol that shares a renamed name: -p leaves it."""
    base = os.path.basename(path)
    objects = [obj for _, obj in Library(open(path, "rb").read()).parts]
    nm = rt.run_ok([rt.CROSS + "nm", "--defined-only", "-g", path]).stdout.decode("latin-1")
    renamed = {line.split()[2] for line in nm.splitlines() if len(line.split()) == 3}
    ours, peer, list_path = (os.path.join(work, n + base) for n in ("p-", "p-objcopy-", "p.list-"))
    with open(list_path, "w") as f:
        f.writelines(f"{old} {prefix}{old}\n" for old in renamed)
    shutil.copyfile(path, ours)
    result = rt.run([tool, "-p", prefix, ours])
    # -p's list holds each name once, in the order its first definition is met.
    rank = {n: i for i, n in enumerate(dict.fromkeys(
        s.name for obj in objects for s in obj.symbols if s.name in renamed and s.bind and s.shndx))}
    report = "".join(f"<{s.name}> -> <{prefix}{s.name}> changed\n" for obj in objects
                     for s in sorted((s for s in obj.symbols if s.name in rank and s.bind),
                                     key=lambda s: rank[s.name]))
    if (result.returncode, result.stdout.decode("latin-1"), result.stderr) != (0, report, b""):
        raise rt.Failure(f"{base}: -p gave status {result.returncode}, stderr {result.stderr!r}")
    rt.run_ok([rt.CROSS + "objcopy", "--redefine-syms=" + list_path, path, peer])
    def as_peer(line):
        f = line.split()
        local = f[4:5] == ["LOCAL"] and f[-1] in renamed
        return line[:-len(f[-1])] + prefix + f[-1] if local else line
    lines = [as_peer(line) for line in symbol_tables(ours).splitlines()]
    if lines != symbol_tables(peer).splitlines() or archive_index(ours) != archive_index(peer):
        raise rt.Failure(f"{base}: -p differs from objcopy --redefine-syms")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "objcopy", rt.CROSS + "readelf", rt.CROSS + "nm")
    paths = sorted(glob.glob(os.path.join(LIBDIR, "*.a")))
    if not any(os.path.basename(p) == "libc.a" for p in paths):
        raise rt.Failure(f"{LIBDIR}/libc.a is missing (package libc6-dev-powerpc-cross)")
    with tempfile.TemporaryDirectory(prefix="namepatch-archives-") as work:
        renamed = sum(check_library(tool, work, path) for path in paths)
        for path in paths:
            check_prefix(tool, work, path)
        # Every other layout's C library, against its own binutils.
        for chain in rt.TOOLCHAINS[1:]:
            rt.require_tools(chain.cross + "objcopy", chain.cross + "readelf", chain.cross + "nm")
            if check_library(tool, work, chain.libc, chain.cross) == 0:
                raise rt.Failure(f"{chain.name}: nothing was renamed")
    if renamed == 0:
        raise rt.Failure("no symbol was renamed in any library")


if __name__ == "__main__":
    rt.main(body)
