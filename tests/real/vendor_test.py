#!/usr/bin/env python3
"""The vendoring options on real toolchains' objects, held against objcopy, nm,
readelf and programs linked from the result."""
import os
import re
import shutil
import tempfile

import realtools as rt

VENDOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor")
API = ["api_run", "api_version"]


def compile_one(work, cross, source, name, *flags):
    obj = os.path.join(work, name + ".o")
    rt.run_ok([cross + "gcc", "-O1", *flags, "-c", os.path.join(VENDOR, source), "-o", obj])
    return obj


def build_library(work, cross, name):
    members = [compile_one(work, cross, "members.c", f"{name}{part}", "-fno-inline", "-fPIC",
                           f"-DVENDOR_PART={part}") for part in (1, 2, 3)]
    lib = os.path.join(work, f"lib{name}.a")
    rt.run_ok([cross + "ar", "rcs", lib] + members)
    return lib


def nm_lines(path, cross, *flags):
    text = rt.run_ok([cross + "nm", *flags, path]).stdout.decode("latin-1")
    return [line for line in text.splitlines() if line.strip()]


def defined_globals(path, cross, strong=False):
    rows = (line.split() for line in nm_lines(path, cross, "--defined-only", "-g"))
    return {f[2] for f in rows if len(f) == 3 and not (strong and f[1] in "VvWwCu")}


def relocation_names(path, cross):
    """Per relocation section, the symbol name of each entry in order."""
    text = rt.run_ok([cross + "readelf", "-rW", path]).stdout.decode("latin-1")
    rows = (line.split() for line in text.splitlines())
    return [f[4] for f in rows if len(f) >= 5 and re.fullmatch(r"[0-9a-f]{8,16}", f[0])]


def check_keep(tool, work, keep):
    lib = shutil.copy(rt.TOOLCHAINS[0].libc, os.path.join(work, "libc.a"))
    kept = ["printf", "malloc", "free"]
    keep_libc = rt.write(keep + ".libc", "\n".join(kept) + "\n")
    pairs = rt.write(os.path.join(work, "pairs.txt"), "".join(
        f"{name} acme_{name}\n" for name in sorted(defined_globals(lib, rt.CROSS) - set(kept))))
    rt.run_ok([rt.CROSS + "objcopy", "--redefine-syms=" + pairs, lib, lib + ".peer"])
    rt.run_ok([tool, "-p", "acme_", "--keep", keep_libc, lib])
    if nm_lines(lib, rt.CROSS, "-a") != nm_lines(lib + ".peer", rt.CROSS, "-a"):
        raise rt.Failure("-p --keep differs from objcopy --redefine-syms less the kept names")


def check_hide(tool, work, keep):
    lib = build_library(work, "", "hide")
    rt.run_ok([tool, "-p", "acme_", "--hide", "--keep", keep, lib])
    shared = os.path.join(work, "libhide.so")
    rt.run_ok(["gcc", "-shared", "-o", shared, "-Wl,--whole-archive", lib,
               "-Wl,--no-whole-archive"])
    exported = {line.split()[-1] for line in nm_lines(shared, "", "-D", "--defined-only")}
    if exported != set(API):
        raise rt.Failure(f"the hidden library's shared object exports {sorted(exported)}")
    program = os.path.join(work, "hidden")
    rt.run_ok(["gcc", os.path.join(VENDOR, "main.c"), compile_one(work, "", "other.c", "other"),
               shared, "-o", program, "-Wl,-rpath," + work])
    rt.run_ok([program])


def check_localize(tool, work, keep, chain):
    cross = chain.cross
    lib = build_library(work, cross, "loc_" + chain.name)
    before = relocation_names(lib, cross)
    # The globals no other member uses; step is used across members.
    listing = rt.write(os.path.join(work, "local.txt"), "twice\noffset_of\n")
    peer = lib + ".peer"
    rt.run_ok([cross + "objcopy", "--localize-symbols=" + listing, lib, peer])
    result = rt.run_ok([tool, "--localize", "--keep", keep, lib])
    as_objcopy = nm_lines(lib, cross, "-a") == nm_lines(peer, cross, "-a")
    if chain.cross.startswith("mips"):  # left global, with a note
        if b"stay global" not in result.stderr or as_objcopy:
            raise rt.Failure(f"{chain.name}: --localize changed a MIPS library")
        return
    same_relocations = relocation_names(lib, cross) == before
    if result.stderr or not as_objcopy or not same_relocations:
        raise rt.Failure(f"{chain.name}: --localize said {result.stderr!r}; nm as objcopy "
                         f"--localize-symbols: {as_objcopy}; relocations: {same_relocations}")
    if chain.run is None:
        return
    program = os.path.join(work, "local_" + chain.name)
    rt.run_ok([cross + "gcc", "-static", os.path.join(VENDOR, "main.c"),
               compile_one(work, cross, "other.c", "other_" + chain.name), lib, "-o", program])
    rt.run_ok(chain.run + [program])


def check_clashes(tool, work):
    lib = build_library(work, "", "clash")
    other = compile_one(work, "", "other.c", "other")
    # Weak and common definitions of names the library defines are no clash.
    weak = os.path.join(work, "weak.o")
    rt.write(weak + ".c", "__attribute__((weak)) int step(int x) { return x; }\nint api_version;\n")
    rt.run_ok(["gcc", "-fcommon", "-c", weak + ".c", "-o", weak])
    inside, first = os.path.join(work, "libinside.a"), os.path.join(work, "clash1.o")
    rt.run_ok(["ar", "rcs", inside, first, other])
    strong = {path: defined_globals(path, "", True) for path in (lib, first, other)}
    for inputs, names, kind, status in (  # the names listed, how each is placed, exit status
            ([lib, other, weak], strong[lib] & strong[other], "between-inputs", 1),
            ([inside], strong[first] & strong[other], "within-library", 1),
            ([lib, weak], set(), None, 0)):
        result = rt.run([tool, "--clashes"] + inputs)
        listed = [line.split("\t") for line in result.stdout.decode().splitlines()]
        if (result.returncode, {row[0] for row in listed}) != (status, names) or \
                any(row[1] != kind or len(row) != 4 for row in listed):
            raise rt.Failure(f"--clashes {inputs}: {listed} ({result.returncode}), not {names}")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools("gcc", "ar", "nm", "objcopy", "readelf", rt.CROSS + "objcopy")
    with tempfile.TemporaryDirectory() as work:
        keep = rt.write(os.path.join(work, "keep.txt"), "# the API\n" + "".join(
            f"  {name}  # kept\n" for name in API) + "\n", encoding="utf-8-sig")
        check_keep(tool, work, keep)
        check_hide(tool, work, keep)
        check_clashes(tool, work)
        for chain in rt.TOOLCHAINS:
            check_localize(tool, work, keep, chain)


if __name__ == "__main__":
    rt.main(body)
