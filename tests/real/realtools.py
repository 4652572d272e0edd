"""Shared helpers of the real-toolchain tests.

Every check here reads objects either with the cross binutils or with the small
reader below, which knows only what the tests need: sections, .symtab and
.strtab of an ELF object of either class and byte order. A missing tool is a
failure, never a reason to skip: these tests exist to run on real toolchain
output.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
from typing import NamedTuple

CROSS = "powerpc-linux-gnu-"


class Toolchain(NamedTuple):
    name: str
    cross: str  # prefix of its gcc, as, ar, nm, objcopy and readelf
    libc: str  # its C library archive
    run: list  # the command that runs one of its static programs; None: not linked nor run


# Every layout, big- and little-endian, 32- and 64-bit, over six machines.
TOOLCHAINS = [
    Toolchain("powerpc", CROSS, "/usr/powerpc-linux-gnu/lib/libc.a",
              ["qemu-ppc", "-L", "/usr/powerpc-linux-gnu"]),
    # Bare-metal: its library is renamed, its programs are not linked.
    Toolchain("arm-none-eabi", "arm-none-eabi-", "/usr/lib/arm-none-eabi/lib/libc.a", None),
    Toolchain("riscv64", "riscv64-linux-gnu-", "/usr/riscv64-linux-gnu/lib/libc.a",
              ["qemu-riscv64"]),
    Toolchain("aarch64", "aarch64-linux-gnu-", "/usr/aarch64-linux-gnu/lib/libc.a",
              ["qemu-aarch64"]),
    Toolchain("mips", "mips-linux-gnu-", "/usr/mips-linux-gnu/lib/libc.a", ["qemu-mips"]),
    Toolchain("x86-64", "x86_64-linux-gnu-", "/usr/lib/x86_64-linux-gnu/libc.a", []),
]


class Failure(Exception):
    pass


def require_tools(*names):
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        raise Failure("missing tools (test.sh installs them): " + ", ".join(missing))


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, **kwargs)


def run_ok(cmd, **kwargs):
    result = run(cmd, **kwargs)
    if result.returncode != 0:
        raise Failure(f"{' '.join(cmd)} failed with {result.returncode}:\n"
                      f"{result.stderr.decode(errors='replace')}")
    return result


def write(path, text, encoding="utf-8"):
    with open(path, "w", encoding=encoding) as f:
        f.write(text)
    return path


def main(body):
    """Runs body(), turning a Failure into a message and exit status 1."""
    try:
        body()
    except Failure as failure:
        print(f"FAIL: {failure}", file=sys.stderr)
        sys.exit(1)
    print("PASS")


class Symbol:
    def __init__(self, index, st_name, value, size, info, other, shndx, name):
        self.index = index
        self.st_name = st_name
        self.value = value
        self.size = size
        self.info = info
        self.other = other
        self.shndx = shndx
        self.name = name

    @property
    def bind(self):
        return self.info >> 4


class Object:
    """Sections (name, offset, size, sh_name) by index, and the symbols of .symtab with
    their names read from .strtab, as the tool itself finds them."""

    def __init__(self, data):
        if data[:4] != b"\x7fELF" or data[4] not in (1, 2) or data[5] not in (1, 2):
            raise Failure("not an ELF object of a known class and byte order")
        self.data = data
        order = ">" if data[5] == 2 else "<"
        wide = data[4] == 2
        shoff, = struct.unpack_from(order + ("Q" if wide else "I"), data, 40 if wide else 32)
        shentsize, shnum, shstrndx = struct.unpack_from(order + "HHH", data, 58 if wide else 46)
        shdr = order + ("IIQQQQIIQQ" if wide else "10I")
        headers = [struct.unpack_from(shdr, data, shoff + i * shentsize) for i in range(shnum)]
        self.shstrndx = shstrndx
        names_offset = headers[shstrndx][4] if shstrndx else 0
        self.sections = []
        for h in headers:
            name = _string_at(data, names_offset + h[0]) if shstrndx and h[0] else ""
            self.sections.append((name, h[4], h[5], h[0]))
        self.symtab = self._last_named(".symtab")
        self.strtab = self._last_named(".strtab")
        self.symbols = []
        if self.symtab is None or self.strtab is None:
            return
        _, sym_offset, sym_size, _ = self.sections[self.symtab]
        str_offset = self.sections[self.strtab][1]
        entsize, fields = (24, "IBBHQQ") if wide else (16, "IIIBBH")
        for i in range(sym_size // entsize):
            f = struct.unpack_from(order + fields, data, sym_offset + entsize * i)
            st_name, info, other, shndx, value, size = f if wide else (f[0], *f[3:], *f[1:3])
            name = _string_at(data, str_offset + st_name) if st_name else None
            self.symbols.append(Symbol(i, st_name, value, size, info, other, shndx, name))

    def _last_named(self, wanted):
        found = None
        for i, (name, _, _, _) in enumerate(self.sections):
            if name == wanted:
                found = i
        return found

    def strtab_region(self):
        """(offset, size) of .strtab; an empty region without one."""
        return self.sections[self.strtab][1:3] if self.strtab is not None else (0, 0)


def _string_at(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("latin-1")


def predict_clash(obj, pairs):
    """What the tool must refuse: plays every rename of pairs (old, new), in
    order, on a copy of .strtab and returns the original name of the first
    symbol (or section sharing the table) that reads neither its new nor its
    old name afterwards, or None when every name comes out as asked."""
    offset, size = obj.strtab_region()
    original = obj.data[offset:offset + size]
    edited = bytearray(original)
    wanted = {}
    for old, new in pairs:
        for sym in obj.symbols:
            if sym.name == old:
                edited[sym.st_name:sym.st_name + len(old) + 1] = new.encode("latin-1") + b"\0"
                wanted[sym.index] = new
    for sym in obj.symbols:
        if sym.name is None:
            continue
        expected = wanted.get(sym.index, sym.name).encode("latin-1") + b"\0"
        if bytes(edited[sym.st_name:sym.st_name + len(expected)]) != expected:
            return sym.name
    if obj.shstrndx == obj.strtab:
        for name, _, _, sh_name in obj.sections:
            if name and edited[sh_name:sh_name + len(name) + 1] != original[sh_name:sh_name + len(name) + 1]:
                return name
    return None


def expected_report(obj, pairs):
    """The report lines of a run that applies pairs: per pair, one line per
    matching symbol in index order."""
    lines = []
    for old, new in pairs:
        for sym in obj.symbols:
            if sym.name == old:
                lines.append(f"<{old}> -> <{new}> changed\n")
    return "".join(lines)


def same_outside(before, after, region):
    """True when after has before's length and differs from it at most inside
    region (offset, size)."""
    offset, size = region
    return (len(before) == len(after) and before[:offset] == after[:offset]
            and before[offset + size:] == after[offset + size:])


_FILE_LINE = re.compile(r"^File: (.*)$")


def readelf_symbols(paths, cross=CROSS):
    """Symbol table of each path as readelf -Ws prints it: per file a list of
    (value, size, type, bind, vis, ndx, name), in table order. Many paths are
    read by one readelf run."""
    tables = {}
    for start in range(0, len(paths), 200):
        batch = paths[start:start + 200]
        text = run_ok([cross + "readelf", "-Ws"] + batch).stdout.decode("latin-1")
        tables.update((path, []) for path in batch)  # an object without .symtab
        current = batch[0] if len(batch) == 1 else None
        in_symtab = False
        for line in text.splitlines():
            m = _FILE_LINE.match(line)
            if m:
                current = m.group(1)
                continue
            if line.startswith("Symbol table "):
                in_symtab = "'.symtab'" in line
                continue
            fields = line.split(None, 7)
            if in_symtab and fields and fields[0].endswith(":") and fields[0][:-1].isdigit():
                row = fields[1:] + [""] * (8 - len(fields))
                tables[current].append(tuple(row))
    return tables


def readelf_sections(path, cross=CROSS):
    """(name, type, offset, size) of every section of path, by readelf -SW."""
    text = run_ok([cross + "readelf", "-SW", path]).stdout.decode("latin-1")
    rows = []
    pattern = re.compile(r"^\s*\[\s*(\d+)\]\s+(\S*)\s+(\S+)\s+([0-9a-f]{8,16})\s+([0-9a-f]{6,})\s+"
                         r"([0-9a-f]{6,})")
    for line in text.splitlines():
        m = pattern.match(line)
        if m and m.group(1) != "0":
            rows.append((m.group(2), m.group(3), int(m.group(5), 16), int(m.group(6), 16)))
    return rows


def nm_names(path, cross=CROSS):
    """Every symbol name nm prints for path, in nm's own order."""
    text = run_ok([cross + "nm", "-a", path]).stdout.decode("latin-1")
    return [line.split()[-1] for line in text.splitlines() if line.split()]


def namepatch_binary():
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        raise Failure("usage: test.py <namepatch binary>")
    return os.path.abspath(sys.argv[1])
