#!/usr/bin/env python3
"""Links a renamed object into a static PowerPC program whose call resolves
only after the rename, and runs it under qemu-ppc: it must print what the
renamed function prints. The link is first tried without the rename, which
must fail, so the program cannot pass by finding the name elsewhere. The same
program is then linked against a static library whose index, renamed with
its member, is the only way the linker finds the member. Last, two copies of
one small library, prefixed differently with -p, are linked into one program,
which would find every name defined twice without the prefixes.

Then strpbrk is renamed across each toolchain that runs programs, in its C
library, in place and with -g to a longer name (which grows every member that
holds it), and a program that calls it by its new name only is linked against
the copy, which must fail before the rename, and run.
"""
import os
import shutil
import tempfile

import realtools as rt

HERE = os.path.dirname(os.path.abspath(__file__))
EXPECTED = b"hello, qemu, from the renamed object\n"


def body():
    tool = rt.namepatch_binary()
    rt.require_tools(rt.CROSS + "gcc", rt.CROSS + "ar", "qemu-ppc")
    with tempfile.TemporaryDirectory(prefix="namepatch-link-") as work:
        check_program(tool, work)
    with tempfile.TemporaryDirectory(prefix="namepatch-link-") as work:
        check_library(tool, work)
    with tempfile.TemporaryDirectory(prefix="namepatch-link-") as work:
        check_clash(tool, work)
    for chain in [c for c in rt.TOOLCHAINS if c.run is not None]:
        rt.require_tools(chain.cross + "gcc", *chain.run[:1])
        for new, options in (("Qtrpbrk", []), ("vendor_strpbrk", ["-g"])):
            with tempfile.TemporaryDirectory(prefix="namepatch-link-") as work:
                check_libc(tool, work, chain, new, options)


def check_program(tool, work):
    greeting, main_obj = compile_sources(work)
    program = os.path.join(work, "program")
    link = [rt.CROSS + "gcc", "-static", main_obj, greeting, "-o", program]
    rename_link_and_run(tool, greeting, link, program, "the program")


def check_library(tool, work):
    greeting, main_obj = compile_sources(work)
    library = os.path.join(work, "libgreet.a")
    program = os.path.join(work, "program")
    rt.run_ok([rt.CROSS + "ar", "rcs", library, greeting])
    os.remove(greeting)
    link = [rt.CROSS + "gcc", "-static", main_obj, "-L", work, "-lgreet", "-o", program]
    rename_link_and_run(tool, library, link, program, "the program from the library")


def check_clash(tool, work):
    """Each copy keeps its own count: acme's takes 2 and 3, beta's 4."""
    objects = []
    for name in ("ring", "ring_report", "clash_main"):
        objects.append(os.path.join(work, name + ".o"))
        source = os.path.join(HERE, "link", name + ".c")
        rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", source, "-o", objects[-1]])
    copies = {prefix: os.path.join(work, f"lib{prefix}ring.a") for prefix in ("acme_", "beta_")}
    for copy in copies.values():
        rt.run_ok([rt.CROSS + "ar", "rcs", copy] + objects[:2])
    link = [rt.CROSS + "gcc", "-static", objects[2], "-Wl,--whole-archive", *copies.values(),
            "-Wl,--no-whole-archive", "-o", os.path.join(work, "program")]
    if b"multiple definition of `ring_push'" not in rt.run(link).stderr:
        raise rt.Failure("the unprefixed copies did not clash")
    for prefix, copy in copies.items():
        rt.run_ok([tool, "-p", prefix, copy])
    # ring.c's local ring_level keeps its name; ring_report.c's global takes the prefix.
    names = rt.run_ok([rt.CROSS + "nm", copies["acme_"]]).stdout.decode().split("\n")
    if not {"00000000 t ring_level", "00000000 T acme_ring_level"} <= set(names):
        raise rt.Failure(f"the prefixed copy holds {names}")
    rt.run_ok(link)
    ran = rt.run(rt.TOOLCHAINS[0].run + [link[-1]], timeout=60)
    if (ran.returncode, ran.stdout) != (0, b"acme: 5\nbeta: 4\n"):
        raise rt.Failure(f"the prefixed copies gave status {ran.returncode} and {ran.stdout!r}")


def check_libc(tool, work, chain, new, options):
    library = os.path.join(work, "libc.a")
    shutil.copyfile(chain.libc, library)
    program = os.path.join(work, "program")
    # -L puts the copy ahead of the toolchain's own libc.a.
    link = [chain.cross + "gcc", "-O2", "-static", f"-DRENAMED={new}",
            os.path.join(HERE, "link", "libc_main.c"), "-L", work, "-o", program]
    shipped = rt.run(link)
    if shipped.returncode == 0 or new.encode() not in shipped.stderr:
        raise rt.Failure(f"{chain.name}: the program linked before the rename")
    result = rt.run([tool, *options, "-c", "strpbrk", "-n", new, library])
    lines = set(result.stdout.decode("latin-1").splitlines())
    if (result.returncode, result.stderr, lines) != (0, b"", {f"<strpbrk> -> <{new}> changed"}):
        raise rt.Failure(f"{chain.name}: rename in {library} failed: {result}")
    rt.run_ok(link)
    ran = rt.run(chain.run + [program], timeout=60)
    if (ran.returncode, ran.stdout) != (0, b", from the renamed C library\n"):
        raise rt.Failure(f"{chain.name}: the program gave status {ran.returncode} and "
                         f"{ran.stdout!r}")


def compile_sources(work):
    greeting = os.path.join(work, "greeting.o")
    main_obj = os.path.join(work, "main.o")
    for source, obj in (("greeting.c", greeting), ("main.c", main_obj)):
        rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", os.path.join(HERE, "link", source), "-o", obj])
    return greeting, main_obj


def rename_link_and_run(tool, renamed, link, program, what):
    """The link must fail before greeting_old is renamed in renamed, and the
    program it makes afterwards must print what the renamed function prints."""
    unrenamed = rt.run(link)
    if unrenamed.returncode == 0 or b"greeting_new" not in unrenamed.stderr:
        raise rt.Failure(f"{what} linked before the rename")
    result = rt.run([tool, "-c", "greeting_old", "-n", "greeting_new", renamed])
    if (result.returncode, result.stdout) != (0, b"<greeting_old> -> <greeting_new> changed\n"):
        raise rt.Failure(f"rename in {renamed} failed: {result}")
    rt.run_ok(link)
    ran = rt.run(rt.TOOLCHAINS[0].run + [program], timeout=60)
    if (ran.returncode, ran.stdout) != (0, EXPECTED):
        raise rt.Failure(f"{what} gave status {ran.returncode} and {ran.stdout!r}")


if __name__ == "__main__":
    rt.main(body)
