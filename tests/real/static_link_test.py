#!/usr/bin/env python3
"""Links a renamed object into a static PowerPC program whose call resolves
only after the rename, and runs it under qemu-ppc: it must print what the
renamed function prints. The link is first tried without the rename, which
must fail, so the program cannot pass by finding the name elsewhere. The same
program is then linked against a static library whose index, renamed with
its member, is the only way the linker finds the member.
"""
import os
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


def check_program(tool, work):
    greeting = os.path.join(work, "greeting.o")
    main_obj = os.path.join(work, "main.o")
    program = os.path.join(work, "program")
    rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", os.path.join(HERE, "link", "greeting.c"),
               "-o", greeting])
    rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", os.path.join(HERE, "link", "main.c"),
               "-o", main_obj])
    link = [rt.CROSS + "gcc", "-static", main_obj, greeting, "-o", program]

    unrenamed = rt.run(link)
    if unrenamed.returncode == 0 or b"greeting_new" not in unrenamed.stderr:
        raise rt.Failure("the program linked before the rename")
    result = rt.run([tool, "-c", "greeting_old", "-n", "greeting_new", greeting])
    if (result.returncode, result.stdout) != (0, b"<greeting_old> -> <greeting_new> changed\n"):
        raise rt.Failure(f"rename failed: {result}")
    rt.run_ok(link)
    ran = rt.run(["qemu-ppc", "-L", "/usr/powerpc-linux-gnu", program], timeout=60)
    if (ran.returncode, ran.stdout) != (0, EXPECTED):
        raise rt.Failure(f"program gave status {ran.returncode} and {ran.stdout!r}")


def check_library(tool, work):
    greeting = os.path.join(work, "greeting.o")
    main_obj = os.path.join(work, "main.o")
    library = os.path.join(work, "libgreet.a")
    program = os.path.join(work, "program")
    rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", os.path.join(HERE, "link", "greeting.c"),
               "-o", greeting])
    rt.run_ok([rt.CROSS + "gcc", "-O2", "-c", os.path.join(HERE, "link", "main.c"),
               "-o", main_obj])
    rt.run_ok([rt.CROSS + "ar", "rcs", library, greeting])
    os.remove(greeting)
    link = [rt.CROSS + "gcc", "-static", main_obj, "-L", work, "-lgreet", "-o", program]

    unrenamed = rt.run(link)
    if unrenamed.returncode == 0 or b"greeting_new" not in unrenamed.stderr:
        raise rt.Failure("the program linked against the library before the rename")
    result = rt.run([tool, "-c", "greeting_old", "-n", "greeting_new", library])
    if (result.returncode, result.stdout) != (0, b"<greeting_old> -> <greeting_new> changed\n"):
        raise rt.Failure(f"rename in the library failed: {result}")
    rt.run_ok(link)
    ran = rt.run(["qemu-ppc", "-L", "/usr/powerpc-linux-gnu", program], timeout=60)
    if (ran.returncode, ran.stdout) != (0, EXPECTED):
        raise rt.Failure(f"program from the library gave status {ran.returncode} and {ran.stdout!r}")


if __name__ == "__main__":
    rt.main(body)
