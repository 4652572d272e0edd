#!/usr/bin/env python3
"""Objects the installed toolchains write that namepatch cannot rename are
refused by name and left as they were, alone and inside a library, but for a
COFF import member, which a library carries as it is; COFF objects, told by
the same headers, are renamed there; linked objects get their note; a dry run
changes nothing and reports as the real run.
"""
import glob
import itertools
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
    """Each kind alone and in a library beside an ELF object and a text file,
    each run on a copy held against its original."""
    elf, library, copy = (os.path.join(work, name) for name in ("elf.o", "mixed.a", "copy"))
    rt.run_ok(["gcc", "-c", "a.c", "-o", elf], cwd=work)
    notes = rt.write(os.path.join(work, "notes.txt"), "not an object\n")
    for label, path, what in build_foreign(work):
        member = os.path.basename(path)
        Path(library).unlink(missing_ok=True)
        rt.run_ok(["llvm-ar", "rc", library, elf, path, notes])
        for args, (target, subject, objects) in itertools.product(
                (["-c", "count_up", "-n", "count_dn"], ["-p", "acme_"]),
                ((path, copy, 1), (library, f"{copy}({member})", 2))):
            shutil.copyfile(target, copy)
            r = rt.run([tool, *args, copy])
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
                raise rt.Failure(f"{label} {args} on {target}: {r.returncode}, {out!r}, {err!r}")


def check_linked(tool, work):
    for label, flags in (("shared object", ["-shared", "-fPIC"]), ("executable", [])):
        path = os.path.join(work, "linked")
        rt.run_ok(["gcc", *flags, "a.c", "-o", path], cwd=work)
        r = rt.run([tool, "-c", "count_up", "-n", "count_dn", path])
        note = (f"namepatch: only .symtab of {path} changed; its dynamic symbols, which the "
                "linker and the loader read, keep their old names\n")
        if (r.returncode, r.stdout.decode(), r.stderr.decode()) != (
                0, "<count_up> -> <count_dn> changed\n", note):
            raise rt.Failure(f"{label}: {r}")


def state(directory):
    """Every file's bytes, modification and change times and inode."""
    files = {}
    for path in Path(directory).iterdir():
        st = path.stat()
        files[path.name] = (path.read_bytes(), st.st_mtime_ns, st.st_ctime_ns, st.st_ino)
    return files


def check_dry_runs(tool, work):
    """Each row runs dry on one copy of its inputs and for real on another."""
    libc, elf, mixed = rt.TOOLCHAINS[0].libc, *(os.path.join(work, n) for n in ("elf.o", "mixed.a"))
    pairs = rt.write(os.path.join(work, "pairs.txt"), "# wanted\nmemcpy acme_memcpy\n"
                     "strlen acme_strlen  # both\nnot_there none_here\n")
    unmatched = ["namepatch: dry run: <not_there> -> <none_here> matches no symbol in any input"]
    rows = [  # arguments, inputs, the dry run's added lines (None: the prefix's count)
        (["-p", "acme_"], [libc, elf], None),
        (["-g", "-a", pairs], [libc], unmatched),
        (["-g", "-c", "memcpy", "-n", "memcpq", "-o", "missing/out.a"], [libc], []),
        (["-c", "count_up", "-n", "count_dn"], [elf, mixed], []),
    ]
    for args, inputs, extra in rows:
        runs = []
        for dry in (["--dry-run"], []):
            place = tempfile.mkdtemp(dir=work)
            for path in inputs:
                shutil.copy2(path, place)
            before = state(place)
            r = rt.run([tool, *args, *dry, *map(os.path.basename, inputs)], cwd=place)
            err = r.stderr.decode().replace(place, "DIR").splitlines()
            runs.append((r.returncode, r.stdout, [e for e in err if "dry run:" not in e]))
            if dry:
                added = [e for e in err if "dry run:" in e]
                if state(place) != before:
                    raise rt.Failure(f"dry run {args} changed a file of {place}")
        if runs[0] != runs[1] or not runs[1][1] and runs[1][0] == 0:
            raise rt.Failure(f"{args}: dry run {runs[0]}; real {runs[1]}")
        if extra is None:  # the count of names the real run renamed
            n = len(set(re.findall(rb"^<([^>]*)> -> ", runs[1][1], re.M)))
            extra = [f"namepatch: dry run: the inputs define {n} names that the prefix takes"]
        if added != extra:
            raise rt.Failure(f"{args}: dry run added {added}, not {extra}")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools("gcc", "ar", "llvm-ar", "clang", "x86_64-w64-mingw32-gcc", "llvm-dlltool")
    with tempfile.TemporaryDirectory(prefix="namepatch-foreign-") as work:
        rt.write(os.path.join(work, "a.c"), SOURCE)
        check_foreign(tool, work)
        check_linked(tool, work)
        check_dry_runs(tool, work)


if __name__ == "__main__":
    rt.main(body)
