#!/usr/bin/env python3
"""Renames strpbrk across each toolchain's C library and links a static
program that calls it by its new name only, against the renamed library, and
runs it (under qemu, natively on the host): it must print what strpbrk finds.
The link is first tried against the library as shipped, which must fail, so
the program cannot pass by finding the name elsewhere. Each library is renamed
twice: in place, and with -g to a longer name, which grows every member that
holds it.
"""
import os
import shutil
import tempfile

import realtools as rt

HERE = os.path.dirname(os.path.abspath(__file__))
OLD = "strpbrk"
# The new name and the options that take it.
RENAMES = [("Qtrpbrk", []), ("vendor_strpbrk", ["-g"])]
EXPECTED = b", from the renamed C library\n"


def body():
    tool = rt.namepatch_binary()
    for chain in [c for c in rt.TOOLCHAINS if c.run is not None]:
        rt.require_tools(chain.cross + "gcc", *chain.run[:1])
        for new, options in RENAMES:
            with tempfile.TemporaryDirectory(prefix="namepatch-libc-link-") as work:
                check_program(tool, work, chain, new, options)


def check_program(tool, work, chain, new, options):
    library = os.path.join(work, "libc.a")
    shutil.copyfile(chain.libc, library)
    program = os.path.join(work, "program")
    # -L puts the copy ahead of the toolchain's own libc.a.
    link = [chain.cross + "gcc", "-O2", "-static", f"-DRENAMED={new}",
            os.path.join(HERE, "link", "libc_main.c"), "-L", work, "-o", program]
    shipped = rt.run(link)
    if shipped.returncode == 0 or new.encode() not in shipped.stderr:
        raise rt.Failure(f"{chain.name}: the program linked before the rename")
    result = rt.run([tool, *options, "-c", OLD, "-n", new, library])
    lines = result.stdout.decode("latin-1").splitlines()
    if (result.returncode, result.stderr, set(lines)) != (0, b"", {f"<{OLD}> -> <{new}> changed"}):
        raise rt.Failure(f"{chain.name}: rename in {library} failed: {result}")
    rt.run_ok(link)
    ran = rt.run(chain.run + [program], timeout=60)
    if (ran.returncode, ran.stdout) != (0, EXPECTED):
        raise rt.Failure(f"{chain.name}: the program gave status {ran.returncode} and "
                         f"{ran.stdout!r}")
    print(f"{' '.join([chain.name, *options])}: {len(lines)} symbols renamed, the program ran")


if __name__ == "__main__":
    rt.main(body)
