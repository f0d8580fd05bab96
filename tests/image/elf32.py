"""Minimal reader of 32-bit little-endian ELF files: sections, symbols and the
bytes the image places at an address. Enough for the checks on tl500.elf,
without depending on the text output of binutils."""

import struct
from dataclasses import dataclass

SHT_SYMTAB = 2
SHT_NOBITS = 8
SHF_ALLOC = 0x2

STB_LOCAL, STB_GLOBAL, STB_WEAK = 0, 1, 2
STT_NOTYPE, STT_OBJECT, STT_FUNC, STT_SECTION, STT_FILE = 0, 1, 2, 3, 4


@dataclass
class Section:
    name: str
    type: int
    flags: int
    addr: int
    offset: int
    size: int

    @property
    def allocated(self):
        return bool(self.flags & SHF_ALLOC)

    @property
    def has_bytes(self):
        return self.type != SHT_NOBITS


PT_LOAD = 1
SHF_TLS = 0x400


@dataclass
class Segment:
    type: int
    offset: int
    vaddr: int
    paddr: int
    filesz: int
    memsz: int
    flags: int
    align: int


@dataclass
class Symbol:
    name: str
    value: int
    size: int
    bind: int
    type: int
    shndx: int

    @property
    def defined(self):
        return self.shndx != 0


class Elf32:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:4] != b"\x7fELF" or d[4] != 1 or d[5] != 1:
            raise ValueError(f"{path}: not a 32-bit little-endian ELF file")
        (self.entry, phoff, shoff, _flags, _ehsize, _phentsize, _phnum,
         shentsize, shnum, shstrndx) = struct.unpack_from("<IIIIHHHHHH", d, 24)
        raw = [struct.unpack_from("<IIIIIIIIII", d, shoff + i * shentsize) for i in range(shnum)]
        strtab_off = raw[shstrndx][4]
        self.sections = [
            Section(self._cstr(strtab_off + r[0]), r[1], r[2], r[3], r[4], r[5]) for r in raw
        ]
        self._raw_sections = raw
        self.segments = [
            Segment(*struct.unpack_from("<IIIIIIII", d, phoff + i * _phentsize)) for i in range(_phnum)
        ]
        self.symbols = self._read_symbols()

    def _cstr(self, offset):
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("ascii", "replace")

    def _read_symbols(self):
        symbols = []
        for i, r in enumerate(self._raw_sections):
            if r[1] != SHT_SYMTAB:
                continue
            strtab_off = self._raw_sections[r[6]][4]
            entsize = r[9] or 16
            for j in range(1, r[5] // entsize):
                name, value, size, info, _other, shndx = struct.unpack_from(
                    "<IIIBBH", self.data, r[4] + j * entsize)
                symbols.append(Symbol(self._cstr(strtab_off + name), value, size,
                                      info >> 4, info & 0xF, shndx))
        return symbols

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def symbol(self, name):
        """The global or weak definition of `name`, else any definition, else None."""
        found = [s for s in self.symbols if s.name == name and s.defined]
        for s in found:
            if s.bind in (STB_GLOBAL, STB_WEAK):
                return s
        return found[0] if found else None

    def read(self, addr, size):
        """Bytes at a run-time address, from the section that holds them."""
        for s in self.sections:
            if s.allocated and s.has_bytes and s.addr <= addr and addr + size <= s.addr + s.size:
                start = s.offset + addr - s.addr
                return self.data[start:start + size]
        raise KeyError(f"no section holds 0x{addr:08x}..0x{addr + size:08x}")

    def words(self, addr, count):
        return list(struct.unpack("<%dI" % count, self.read(addr, 4 * count)))
