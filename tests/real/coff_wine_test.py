#!/usr/bin/env python3
"""Programs linked against renamed COFF libraries run under wine; the Windows
build renames as the Linux one. Usage: coff_wine_test.py namepatch namepatch.exe"""
import os
import shutil
import sys
import tempfile

import coff_test as ct
import realtools as rt


def wine(work, *args):
    return rt.run(["wine", *args], env=dict(os.environ, WINEDEBUG="-all"), cwd=work)


def row_two_copies(tool, exe, work):
    """Unprefixed the copies clash; prefixed apart, each keeps its counter."""
    libs = [ct.build_mingw_library(work, name) for name in ("one", "two")]
    program = os.path.join(work, "two.exe")
    link = [ct.MINGW + "gcc", os.path.join(ct.SOURCES, "two.c"), "-Wl,--whole-archive", *libs,
            "-Wl,--no-whole-archive", "-o", program]
    unprefixed = rt.run(link)
    if unprefixed.returncode == 0 or b"multiple definition" not in unprefixed.stderr:
        raise rt.Failure("two unprefixed copies linked without a duplicate definition")
    for lib, prefix in zip(libs, ("one_", "two_")):
        rt.run_ok([tool, "-p", prefix, lib])
    rt.run_ok(link)
    result = wine(work, program)
    out = result.stdout.decode("latin-1").replace("\r\n", "\n")
    if result.returncode != 0 or out != "41 42 42\n":
        raise rt.Failure(f"two copies exited {result.returncode}, printed {out!r}; "
                         f"{result.stderr[-2000:]!r}")


def row_msvc_program(tool, exe, work):
    """lld-link, no C runtime: the program exits with the library's answer."""
    lib, _ = ct.build_msvc_library(work)
    rt.run_ok([tool, "-p", "acme_", lib])
    app = os.path.join(work, "msvc_app.obj")
    rt.run_ok(ct.MSVC + ["-DNAME(x)=acme_##x", os.path.join(ct.SOURCES, "msvc.c"), "-o", app])
    program = os.path.join(work, "msvc_app.exe")
    rt.run_ok(["lld-link", "/entry:start", "/subsystem:console", "/nodefaultlib", app, lib,
               "/out:" + program])
    result = wine(work, program)
    if result.returncode != 42:
        raise rt.Failure(f"MSVC-style program exited {result.returncode}, expected 42")


def row_windows_build(tool, exe, work):
    rt.write(os.path.join(work, "mixed.list"),
             "fesetround fesetround_renamed_longer\nstrtoimax strtoimaX\n")
    for args in (["-p", "acme_"], ["-g", "-a", "mixed.list"]):
        outputs = []
        for runner, name in (([tool], "linux.a"), (["wine", exe], "windows.a")):
            shutil.copyfile(ct.MINGWEX, os.path.join(work, name))
            rt.run_ok(runner + args + [name], cwd=work, env=dict(os.environ, WINEDEBUG="-all"))
            outputs.append(open(os.path.join(work, name), "rb").read())
        if outputs[0] != outputs[1]:
            raise rt.Failure(f"namepatch.exe {' '.join(args)} wrote other bytes than the Linux build")


ROWS = [row_two_copies, row_msvc_program, row_windows_build]


def body():
    tool, exe = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    rt.require_tools(ct.MINGW + "gcc", "wine", "lld-link", "llvm-lib", "llvm-dlltool", "clang")
    with tempfile.TemporaryDirectory() as work:
        if "WINEPREFIX" not in os.environ:
            os.environ["WINEPREFIX"] = os.path.join(work, "wineprefix")
            rt.run_ok(["wineboot", "-i"], env=dict(os.environ, WINEDEBUG="-all",
                                                   WINEDLLOVERRIDES="mscoree,mshtml="))
        for row in ROWS:
            row(tool, exe, work)


if __name__ == "__main__":
    rt.main(body)
