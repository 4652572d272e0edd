#!/usr/bin/env python3
"""Objects the installed toolchains write that namepatch cannot rename are
refused by name and left as they were, alone and inside a library, but for a
COFF import member, which a library carries as it is; COFF objects, told by
the same headers, are renamed there; linked objects get their note; a dry run
changes nothing and reports as the real run.
"""
import glob
import os
import re
import shutil
import tempfile

import realtools as rt

SOURCE = "int counter;\nint count_up(int x) { return counter += x; }\nint main(void) { return 0; }\n"


def build_foreign(work):
    """(label, path, what the refusal calls it) of each kind of foreign input;
    none for a COFF object, which is renamed."""
    src = os.path.join(work, "a.c")

    def cc(out, *command):
        path = os.path.join(work, out)
        rt.run_ok([*command, "-c", src, "-o", path])
        return path

    macho = ["clang", "-target", "x86_64-apple-macos11"]
    fat_macho = os.path.join(work, "fat-macho.o")
    lipo = (glob.glob("/usr/bin/llvm-lipo*") or ["llvm-lipo"])[0]
    rt.run_ok([lipo, "-create", cc("macho.o", *macho), cc("macho-arm64.o", "clang", "-target",
               "arm64-apple-macos11"), "-output", fat_macho])
    with open(os.path.join(work, "x.def"), "w") as f:
        f.write("LIBRARY x.dll\nEXPORTS\ncount_up\n")
    rt.run_ok(["llvm-dlltool", "-m", "i386:x86-64", "-d", "x.def", "-l", "x.lib"], cwd=work)
    # The fourth member, after the import descriptors, is count_up's short form.
    rt.run_ok(["ar", "xN", "4", "x.lib", "x.dll"], cwd=work)
    import_member = os.path.join(work, "x.dll")
    return [
        ("COFF", cc("coff.o", "x86_64-w64-mingw32-gcc"), None),
        ("COFF bigobj", cc("bigobj.o", "x86_64-w64-mingw32-gcc", "-Wa,-mbig-obj"), None),
        ("COFF import member", import_member, "is a COFF import member"),
        ("Mach-O", os.path.join(work, "macho.o"), "is a Mach-O object"),
        ("fat Mach-O", fat_macho, "is a Mach-O object"),
        ("LLVM bitcode", cc("bitcode.o", "clang", "-flto"), "is LLVM bitcode (an LTO object)"),
        ("wrapped LLVM bitcode", cc("wrapped.o", *macho, "-flto"),
         "is LLVM bitcode (an LTO object)"),
        ("GCC LTO, slim", cc("slim.o", "gcc", "-flto"), "is a GCC LTO object (slim"),
        ("GCC LTO, fat", cc("fat.o", "gcc", "-flto", "-ffat-lto-objects"),
         "is a GCC LTO object (fat"),
    ]


def expect_refused(tool, args, path, subject, what, label):
    with open(path, "rb") as f:
        before = f.read()
    r = rt.run([tool, *args, path])
    err = r.stderr.decode()
    if r.returncode != 1 or r.stdout or not err.startswith(f"ERROR: {subject} {what}"):
        raise rt.Failure(f"{label} {args}: status {r.returncode}, {r.stdout!r}, {err!r}")
    with open(path, "rb") as f:
        if f.read() != before:
            raise rt.Failure(f"{label}: {path} changed")


def expect_renamed(tool, args, path, label, members):
    """A run on a copy of path renames count_up in each of members objects."""
    copy = path + ".copy"
    shutil.copyfile(path, copy)
    r = rt.run([tool, *args, copy])
    renamed = r.stdout.decode().count("<count_up> -> ")
    if r.returncode != 0 or r.stderr or renamed != members:
        raise rt.Failure(f"{label} {args}: status {r.returncode}, {r.stdout!r}, {r.stderr!r}")


def expect_carried(tool, args, library, member, label):
    """A run on a copy of library renames its ELF member and leaves member's
    bytes as they were."""
    copy = os.path.join(os.path.dirname(library), "carried.a")
    shutil.copyfile(library, copy)
    r = rt.run([tool, *args, copy])
    before, after = (rt.run_ok(["ar", "p", lib, member]).stdout for lib in (library, copy))
    if r.returncode != 0 or b"<count_up> -> " not in r.stdout or before != after:
        raise rt.Failure(f"{label} {args}: status {r.returncode}, {r.stderr!r}, member kept: "
                         f"{before == after}")


def check_foreign(tool, work):
    elf = os.path.join(work, "elf.o")
    rt.run_ok(["gcc", "-c", os.path.join(work, "a.c"), "-o", elf])
    with open(os.path.join(work, "notes.txt"), "w") as f:
        f.write("not an object\n")
    for label, path, what in build_foreign(work):
        library = os.path.join(work, "mixed.a")
        if os.path.exists(library):
            os.remove(library)
        member = os.path.basename(path)
        rt.run_ok(["llvm-ar", "rc", library, elf, path, os.path.join(work, "notes.txt")])
        for args in (["-c", "count_up", "-n", "count_dn"], ["-p", "acme_"]):
            if what is None:
                expect_renamed(tool, args, path, label, 1)
                expect_renamed(tool, args, library, label, 2)
                continue
            expect_refused(tool, args, path, path, what, label)
            if label == "COFF import member":
                expect_carried(tool, args, library, member, label)
            else:
                expect_refused(tool, args, library, f"{library}({member})", what, label)


def check_linked(tool, work):
    src = os.path.join(work, "a.c")
    for label, flags in (("shared object", ["-shared", "-fPIC"]), ("executable", [])):
        path = os.path.join(work, "linked")
        rt.run_ok(["gcc", *flags, src, "-o", path])
        r = rt.run([tool, "-c", "count_up", "-n", "count_dn", path])
        note = (f"namepatch: only .symtab of {path} changed; its dynamic symbols, which the "
                "linker and the loader read, keep their old names\n")
        if (r.returncode, r.stdout.decode(), r.stderr.decode()) != (
                0, "<count_up> -> <count_dn> changed\n", note):
            raise rt.Failure(f"{label}: {r}")


def state(directory):
    """Every file of directory: its bytes, modification and change times and inode."""
    files = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        st = os.stat(path)
        with open(path, "rb") as f:
            files[name] = (f.read(), st.st_mtime_ns, st.st_ctime_ns, st.st_ino)
    return files


def check_dry_runs(tool, work):
    """Each row runs dry on one copy of its inputs and for real on another."""
    libc = rt.TOOLCHAINS[0].libc
    pairs = os.path.join(work, "pairs.txt")
    with open(pairs, "w") as f:
        f.write("# wanted\nmemcpy acme_memcpy\nstrlen acme_strlen  # both\nnot_there none_here\n")
    unmatched = ["namepatch: dry run: <not_there> -> <none_here> matches no symbol in any input"]
    rows = [
        (["-p", "acme_"], [libc, os.path.join(work, "elf.o")], None),
        (["-g", "-a", pairs], [libc], unmatched),
        (["-g", "-c", "memcpy", "-n", "memcpq", "-o", "missing/out.a"], [libc], []),
        (["-c", "count_up", "-n", "count_dn"], [os.path.join(work, "elf.o"),
                                                 os.path.join(work, "mixed.a")], []),
    ]
    for args, inputs, extra in rows:
        runs = []
        for mode in ("dry", "real"):
            place = os.path.join(work, mode)
            shutil.rmtree(place, ignore_errors=True)
            os.mkdir(place)
            for path in inputs:
                shutil.copy2(path, place)
            before = state(place)
            names = [os.path.basename(p) for p in inputs]
            dry = ["--dry-run"] if mode == "dry" else []
            r = rt.run([tool, *args, *dry, *names], cwd=place)
            err = r.stderr.decode().replace(place, "DIR").splitlines()
            runs.append((r.returncode, r.stdout, [e for e in err if "dry run:" not in e]))
            if mode == "dry":
                if state(place) != before:
                    raise rt.Failure(f"dry run {args} changed a file of {place}")
                added = [e for e in err if "dry run:" in e]
        if runs[0] != runs[1] or not runs[1][1] and runs[1][0] == 0:
            raise rt.Failure(f"{args}: dry run {runs[0][0]}, {runs[0][2]}; real {runs[1][0]}, "
                             f"{runs[1][2]}")
        if extra is None:
            renamed = set(re.findall(rb"^<([^>]*)> -> ", runs[1][1], re.M))
            extra = [f"namepatch: dry run: the inputs define {len(renamed)} names that the "
                     "prefix takes"]
        if added != extra:
            raise rt.Failure(f"{args}: dry run added {added}, not {extra}")


def body():
    tool = rt.namepatch_binary()
    rt.require_tools("gcc", "ar", "llvm-ar", "clang", "x86_64-w64-mingw32-gcc", "llvm-dlltool")
    with tempfile.TemporaryDirectory(prefix="namepatch-foreign-") as work:
        with open(os.path.join(work, "a.c"), "w") as f:
            f.write(SOURCE)
        check_foreign(tool, work)
        check_linked(tool, work)
        check_dry_runs(tool, work)


if __name__ == "__main__":
    rt.main(body)
