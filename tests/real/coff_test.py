#!/usr/bin/env python3
"""llvm-nm of namepatch's output on real COFF objects and libraries, index
included, against both peers' --redefine-syms output with the same list."""
import os
import shutil
import struct
import tempfile

import realtools as rt

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = os.path.join(HERE, "coff")
MINGW = "x86_64-w64-mingw32-"
MINGWEX = "/usr/x86_64-w64-mingw32/lib/libmingwex.a"
MSVC = ["clang", "--target=x86_64-pc-windows-msvc", "-O1", "-c"]
LIST = object()  # stands for the list file in namepatch's arguments


def build_mingw_library(work, name):
    members = [os.path.join(work, f"{name}{part}.o") for part in (1, 2, 3)]
    for part, obj in enumerate(members, 1):
        rt.run_ok([MINGW + "gcc", "-O1", f"-DPART={part}", "-c",
                   os.path.join(SOURCES, "parts.c"), "-o", obj])
    lib = os.path.join(work, f"lib{name}.a")
    rt.run_ok([MINGW + "ar", "rcs", lib] + members)
    return lib


def nm(path, *options):
    text = rt.run_ok(["llvm-nm", *options, path]).stdout.decode("latin-1")
    return sorted(line for line in text.replace(path, "<file>").splitlines() if line)


def defined_globals(path):
    lines = nm(path, "--defined-only", "--extern-only", "--format=just-symbols")
    return sorted({line for line in lines if not line.endswith(":")})


def is_local(fields):
    return len(fields) == 3 and fields[1].islower()


def check_with_peers(tool, work, path, args, pairs, label, locals_stay=False):
    base = os.path.join(work, label.replace(" ", "-") + "-" + os.path.basename(path))
    list_path = rt.write(base + ".list", "".join(f"{old} {new}\n" for old, new in pairs))
    shutil.copyfile(path, base)
    rt.run_ok([tool, *(list_path if a == LIST else a for a in args), base])
    ours = nm(base, "--print-armap")
    for peer in (MINGW + "objcopy", "llvm-objcopy"):
        rt.run_ok([peer, "--redefine-syms=" + list_path, path, base + ".peer"])
        lines = nm(base + ".peer", "--print-armap")
        if locals_stay:
            # The peers rename a local that shares a defined name; -p keeps it.
            local = {f[2] for f in map(str.split, nm(path)) if is_local(f) and f[1] not in "uvw"}
            back = {new: old for old, new in pairs if old in local}
            lines = sorted(line[:-len(f[2])] + back[f[2]] if is_local(f) and f[2] in back
                           else line for line, f in zip(lines, map(str.split, lines)))
        if ours != lines:
            raise rt.Failure(f"{label}: llvm-nm differs from {peer}'s: "
                             f"{sorted(set(ours) ^ set(lines))[:20]}")
    return os.path.getsize(base)


def row_prefix(tool, work, lib):
    big = os.path.join(work, "big.o")
    rt.run_ok([MINGW + "gcc", "-O1", "-DPART=1", "-Wa,-mbig-obj", "-c",
               os.path.join(SOURCES, "parts.c"), "-o", big])
    if open(big, "rb").read(4) != b"\0\0\xff\xff":
        raise rt.Failure("bigobj: the assembler wrote a plain header")
    for label, path in (("mingw -p", lib), ("libmingwex -p", MINGWEX), ("bigobj -p", big)):
        pairs = [(name, "acme_" + name) for name in defined_globals(path)]
        check_with_peers(tool, work, path, ["-p", "acme_"], pairs, label, locals_stay=True)


def row_lists(tool, work, lib):
    for label, args, pairs in (
            ("mingw mixed -g", ["-g", "-a", LIST],
             [("p3", "p3_now_in_the_string_table"), ("part_bump", "pb"),
              ("part_counter", "part_counter_renamed_longer"), ("part_three", "part_3hree"),
              ("part_common", "pc")]),
            ("mingw in place", ["-a", LIST],
             [("p3", "q3"), ("part_three", "part_3hree"),
              ("part_value_of_a_long_name", "part_VALUE_of_a_long_name")])):
        size = check_with_peers(tool, work, lib, args, pairs, label)
        if "-g" not in args and size != os.path.getsize(lib):
            raise rt.Failure(f"{label}: the library changed its length")


def read_members(data):
    members, at, longnames = [], 8, b""
    while at < len(data):
        name = data[at:at + 16].rstrip(b" ")
        size = int(data[at + 48:at + 58])
        body = data[at + 60:at + 60 + size]
        if name == b"//":
            longnames = body
        elif name.startswith(b"/") and name[1:].isdigit():
            name = longnames[int(name[1:]):].split(b"/\n")[0]
        else:
            name = name.rstrip(b"/")
        members.append((name, at, body))
        at += 60 + size + (size & 1)
    return members


def gnu_index(data):
    body = read_members(data)[0][2]
    count, = struct.unpack_from(">I", body)
    offsets = struct.unpack_from(f">{count}I", body, 4)
    names = body[4 + 4 * count:].split(b"\0")[:count]
    return list(zip(names, offsets))


def to_msvc_format(sources, out):
    """The libraries' members and index as MSVC's lib writes them: both linker
    members, the long-names member (empty: every member's name fits)."""
    entries, members = [], []
    for source in sources:
        data = open(source, "rb").read()
        listed = [m for m in read_members(data) if m[0] not in (b"", b"//")]
        by_header = {at: len(members) + i for i, (_, at, _) in enumerate(listed)}
        members += [(os.path.basename(n), body) for n, _, body in listed]
        entries += [(name, by_header[at]) for name, at in gnu_index(data)]
    names = b"".join(n + b"\0" for n, _ in entries)
    first = 4 + 4 * len(entries) + len(names)
    second = 8 + 4 * len(members) + 2 * len(entries) + len(names)

    def header(name, size):
        return b"%-16s%-12s%-12s%-8s%-10d`\n" % (name, b"0", b"", b"0", size)

    at = 8 + sum(60 + n + (n & 1) for n in (first, second, 0))
    offsets = []
    for _, body in members:
        offsets.append(at)
        at += 60 + len(body) + (len(body) & 1)
    parts = [b"!<arch>\n", header(b"/", first), struct.pack(">I", len(entries)),
             b"".join(struct.pack(">I", offsets[m]) for _, m in entries), names,
             b"\n" * (first & 1), header(b"/", second), struct.pack("<I", len(members)),
             b"".join(struct.pack("<I", o) for o in offsets), struct.pack("<I", len(entries)),
             b"".join(struct.pack("<H", m + 1) for _, m in sorted(entries)),
             b"".join(n + b"\0" for n, _ in sorted(entries)), b"\n" * (second & 1),
             header(b"//", 0)]
    for name, body in members:
        parts += [header(name + b"/", len(body)), body, b"\n" * (len(body) & 1)]
    with open(out, "wb") as f:
        f.write(b"".join(parts))


def linker_members(label, data):
    """The second linker member's (name, member offset), checked against the
    first: sorted, the same entries, each at a member's header."""
    members = read_members(data)
    if [m[0] for m in members[:2]] != [b"", b""]:
        raise rt.Failure(f"{label}: the library lost its second linker member")
    body = members[1][2]
    count, = struct.unpack_from("<I", body)
    offsets = struct.unpack_from(f"<{count}I", body, 4)
    at = 4 + 4 * count
    symbols, = struct.unpack_from("<I", body, at)
    indices = struct.unpack_from(f"<{symbols}H", body, at + 4)
    names = body[at + 4 + 2 * symbols:].split(b"\0")[:symbols]
    entries = [(name, offsets[i - 1]) for name, i in zip(names, indices)]
    if names != sorted(names):
        raise rt.Failure(f"{label}: the second linker member's names are not sorted")
    headers = {at for _, at, _ in members}
    if sorted(entries) != sorted(gnu_index(data)) or any(at not in headers for _, at in entries):
        raise rt.Failure(f"{label}: the linker members disagree or point between members")
    return entries


def build_msvc_library(work):
    objs = []
    for name in ("msvc_lib", "parts"):
        objs.append(os.path.join(work, name + ".obj"))
        rt.run_ok(MSVC + ["-DPART=2", os.path.join(SOURCES, name + ".c"), "-o", objs[-1]])
    gnu = os.path.join(work, "gnu.lib")
    rt.run_ok(["llvm-lib", "/out:" + gnu] + objs)
    k32 = os.path.join(work, "k32.lib")
    k32_def = rt.write(k32 + ".def", "LIBRARY kernel32.dll\nEXPORTS\nExitProcess\n")
    rt.run_ok(["llvm-dlltool", "-m", "i386:x86-64", "-d", k32_def, "-l", k32])
    lib = os.path.join(work, "msvc.lib")
    to_msvc_format([gnu, k32], lib)
    return lib, gnu


def row_msvc_library(tool, work, _):
    lib, objects = build_msvc_library(work)
    own = {n.encode() for n in defined_globals(objects)}
    for label, args in (("msvc -p", ["-p", "acme_"]),
                        ("msvc in place", ["-c", "vfun_alpha", "-n", "zfun_alpha"])):
        ours = os.path.join(work, label.replace(" ", "-") + ".lib")
        shutil.copyfile(lib, ours)
        rt.run_ok([tool, *args, ours])
        linker_members(label, open(ours, "rb").read())
        if "-c" in args and os.path.getsize(ours) != os.path.getsize(lib):
            raise rt.Failure(f"{label}: the library changed its length")
    # Neither peer reads import members: the input's names, its own prefixed.
    def found(path):
        return ({n for n, _ in linker_members(path, open(path, "rb").read())},
                {n.encode() for n in defined_globals(path)})
    wanted = tuple({b"acme_" + n if n in own else n for n in names} for names in found(lib))
    if found(os.path.join(work, "msvc--p.lib")) != wanted:
        raise rt.Failure(f"msvc -p: the index or the symbols differ from {wanted}")


def row_i386(tool, work, lib):
    obj = os.path.join(work, "i386.o")
    rt.run_ok(["i686-w64-mingw32-gcc", "-O1", "-c", os.path.join(SOURCES, "i386.c"), "-o", obj])
    rt.run_ok([tool, "-p", "acme_", obj])
    names = set(defined_globals(obj))
    wanted = {"_acme_sfun@8", "@acme_ffun@8", "_acme_cfun", "_acme_cdata"}
    if names != wanted:
        raise rt.Failure(f"i386 -p: defined {sorted(names)}, expected {sorted(wanted)}")
    rt.run_ok(["i686-w64-mingw32-gcc", os.path.join(SOURCES, "i386_main.c"), obj, "-o",
               os.path.join(work, "i386.exe")])


def row_mingw_localize(tool, work, lib):
    """As objcopy --localize-symbols of the names no member uses, outside
    COMDAT sections (.refptr ones are)."""
    used = {f[-1] for f in map(str.split, nm(lib)) if f[:1] == ["U"]}
    names = [n for n in defined_globals(lib) if n not in used and not n.startswith(".refptr.")]
    list_path = rt.write(os.path.join(work, "localize.list"), "".join(n + "\n" for n in names))
    ours, peer = os.path.join(work, "ours-localize.a"), os.path.join(work, "peer-localize.a")
    shutil.copyfile(lib, ours)
    rt.run_ok([tool, "--localize", ours])
    rt.run_ok([MINGW + "objcopy", "--localize-symbols=" + list_path, lib, peer])
    if nm(ours) != nm(peer):
        raise rt.Failure(f"--localize: llvm-nm differs from objcopy's: {nm(ours)} {nm(peer)}")


def row_mingw_clashes(tool, work, lib):
    """Every name both define outside COMDAT sections (.refptr ones are)."""
    copy = os.path.join(work, "libparts-copy.a")
    shutil.copyfile(lib, copy)
    result = rt.run([tool, "--clashes", lib, copy])
    listed = [line.split("\t")[0] for line in result.stdout.decode("latin-1").splitlines()]
    wanted = [n for n in defined_globals(lib) if not n.startswith(".refptr.")]
    if result.returncode != 1 or listed != sorted(wanted):
        raise rt.Failure(f"--clashes: status {result.returncode}, listed {listed}, "
                         f"expected {sorted(wanted)}")


ROWS = [row_prefix, row_lists, row_mingw_localize, row_mingw_clashes, row_msvc_library, row_i386]


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(MINGW + "gcc", MINGW + "objcopy", "llvm-nm", "llvm-objcopy", "llvm-lib",
                     "llvm-dlltool", "clang", "i686-w64-mingw32-gcc")
    with tempfile.TemporaryDirectory() as work:
        lib = build_mingw_library(work, "parts")
        for row in ROWS:
            row(tool, work, lib)


if __name__ == "__main__":
    rt.main(body)
