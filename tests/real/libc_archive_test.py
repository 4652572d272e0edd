#!/usr/bin/env python3
"""Each toolchain's C library archive through the archives test's checks of
one library, held against that toolchain's objcopy --redefine-syms: up to
three defined global names per member renamed in one list-mode run, the same
symbol tables and index as objcopy's, the report the lines the members give
one after another, -g writing the same bytes, and no byte changed outside the
members' .strtab and the index's names.
"""
import os
import tempfile

import archives_test as archives
import realtools as rt


def body():
    tool = rt.namepatch_binary()
    for chain in rt.TOOLCHAINS:
        rt.require_tools(chain.cross + "objcopy", chain.cross + "readelf", chain.cross + "nm")
        if not os.path.isfile(chain.libc):
            raise rt.Failure(f"{chain.libc} is missing (test.sh installs it)")
        with tempfile.TemporaryDirectory(prefix="namepatch-libc-archive-") as work:
            if archives.check_library(tool, work, chain.libc, chain.cross) == 0:
                raise rt.Failure(f"{chain.name}: nothing was renamed")


if __name__ == "__main__":
    rt.main(body)
