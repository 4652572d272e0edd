#!/usr/bin/env python3
"""Foreign objects of real toolchains are refused and left as they were, alone
and in a library (which carries a COFF import member as it is); COFF objects
are renamed; a shared object gets its note; a dry run reports as the real run.
"""
import glob
import os
import re
import shutil
import tempfile
from pathlib import Path

import realtools as rt

SOURCE = "int counter;\nint count_up(int x) { return counter += x; }\nint main(void) { return 0; }\n"


def build_foreign(work):
    """(label, path, what the refusal calls it; None: renamed) of each kind."""
    def cc(out, *command):
        rt.run_ok([*command, "-c", "a.c", "-o", out], cwd=work)
        return os.path.join(work, out)

    macho = ["clang", "-target", "x86_64-apple-macos11"]
    lipo = (glob.glob("/usr/bin/llvm-lipo*") or ["llvm-lipo"])[0]
    rt.run_ok([lipo, "-create", cc("macho.o", *macho), cc("macho-arm64.o", "clang", "-target",
               "arm64-apple-macos11"), "-output", "fat-macho.o"], cwd=work)
    rt.write(os.path.join(work, "x.def"), "LIBRARY x.dll\nEXPORTS\ncount_up\n")
    rt.run_ok(["llvm-dlltool", "-m", "i386:x86-64", "-d", "x.def", "-l", "x.lib"], cwd=work)
    # The fourth member, after the import descriptors, is count_up's short form.
    rt.run_ok(["ar", "xN", "4", "x.lib", "x.dll"], cwd=work)
    mach_o, bitcode = "is a Mach-O object", "is LLVM bitcode (an LTO object)"
    return [
        ("COFF", cc("coff.o", "x86_64-w64-mingw32-gcc"), None),
        ("COFF bigobj", cc("bigobj.o", "x86_64-w64-mingw32-gcc", "-Wa,-mbig-obj"), None),
        ("COFF import member", os.path.join(work, "x.dll"), "is a COFF import member"),
        ("Mach-O", os.path.join(work, "macho.o"), mach_o),
        ("fat Mach-O", os.path.join(work, "fat-macho.o"), mach_o),
        ("LLVM bitcode", cc("bitcode.o", "clang", "-flto"), bitcode),
        ("wrapped LLVM bitcode", cc("wrapped.o", *macho, "-flto"), bitcode),
        ("GCC LTO, slim", cc("slim.o", "gcc", "-flto"), "is a GCC LTO object (slim"),
        ("GCC LTO, fat", cc("fat.o", "gcc", "-flto", "-ffat-lto-objects"),
         "is a GCC LTO object (fat"),
    ]


def check_foreign(tool, work):
    """Each kind alone and in a library beside an ELF object and a text file, on a copy."""
    elf, library, copy = (os.path.join(work, name) for name in ("elf.o", "mixed.a", "copy"))
    rt.run_ok(["gcc", "-c", "a.c", "-o", elf], cwd=work)
    notes = rt.write(os.path.join(work, "notes.txt"), "not an object\n")
    for label, path, what in build_foreign(work):
        member = os.path.basename(path)
        Path(library).unlink(missing_ok=True)
        rt.run_ok(["llvm-ar", "rc", library, elf, path, notes])
        for target, subject, objects in ((path, copy, 1), (library, f"{copy}({member})", 2)):
            shutil.copyfile(target, copy)
            r = rt.run([tool, "-c", "count_up", "-n", "count_dn", copy])
            out, err = r.stdout.decode(), r.stderr.decode()
            if what is None:
                ok = (r.returncode, err, out.count("<count_up> -> ")) == (0, "", objects)
            elif target == library and label == "COFF import member":  # carried as it is
                kept = [rt.run_ok(["ar", "p", lib, member]).stdout for lib in (library, copy)]
                ok = r.returncode == 0 and "<count_up> -> " in out and kept[0] == kept[1]
            else:
                ok = (r.returncode, out) == (1, "") and err.startswith(f"ERROR: {subject} {what}") \
                    and Path(copy).read_bytes() == Path(target).read_bytes()
            if not ok:
                raise rt.Failure(f"{label} on {target}: {r.returncode}, {out!r}, {err!r}")


def check_shared(tool, work):
    path = os.path.join(work, "linked")
    rt.run_ok(["gcc", "-shared", "-fPIC", "a.c", "-o", path], cwd=work)
    r = rt.run_ok([tool, "-c", "count_up", "-n", "count_dn", path])
    note = (f"namepatch: only .symtab of {path} changed; its dynamic symbols, which the "
            "linker and the loader read, keep their old names\n")
    if (r.stdout.decode(), r.stderr.decode()) != ("<count_up> -> <count_dn> changed\n", note):
        raise rt.Failure(f"shared object: {r}")


def state(directory):
    """Every file's bytes, modification and change times and inode."""
    return {p.name: (p.read_bytes(), p.stat().st_mtime_ns, p.stat().st_ctime_ns, p.stat().st_ino)
            for p in Path(directory).iterdir()}


def check_dry_runs(tool, work):
    """Each row runs dry on one copy of its inputs and for real on another."""
    libc, elf = rt.TOOLCHAINS[0].libc, os.path.join(work, "elf.o")
    pairs = rt.write(os.path.join(work, "pairs.txt"), "# wanted\nmemcpy acme_memcpy\n"
                     "strlen acme_strlen  # both\nnot_there none_here\n")
    for args, inputs in ((["-p", "acme_"], [libc, elf]), (["-g", "-a", pairs], [libc])):
        runs = []
        for dry in (["--dry-run"], []):
            place = tempfile.mkdtemp(dir=work)
            for path in inputs:
                shutil.copy2(path, place)
            before = state(place)
            r = rt.run([tool, *args, *dry, *map(os.path.basename, inputs)], cwd=place)
            err = r.stderr.decode().replace(place, "DIR").splitlines()
            runs.append((r.returncode, r.stdout, [e for e in err if "dry run:" not in e]))
            added = [e for e in err if "dry run:" in e] if dry else added
            if dry and state(place) != before:
                raise rt.Failure(f"dry run {args} changed a file of {place}")
        if runs[0] != runs[1] or not runs[1][1] and runs[1][0] == 0:
            raise rt.Failure(f"{args}: dry run {runs[0]}; real {runs[1]}")
        n = len(set(re.findall(rb"^<([^>]*)> -> ", runs[1][1], re.M)))  # the real run's names
        extra = [f"namepatch: dry run: the inputs define {n} names that the prefix takes"
                 if args[0] == "-p" else "namepatch: dry run: <not_there> -> <none_here> "
                 "matches no symbol in any input"]
        if added != extra:
            raise rt.Failure(f"{args}: dry run added {added}, not {extra}")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools("gcc", "ar", "llvm-ar", "clang", "x86_64-w64-mingw32-gcc", "llvm-dlltool")
    with tempfile.TemporaryDirectory(prefix="namepatch-foreign-") as work:
        rt.write(os.path.join(work, "a.c"), SOURCE)
        check_foreign(tool, work)
        check_shared(tool, work)
        check_dry_runs(tool, work)


if __name__ == "__main__":
    rt.main(body)
