#!/usr/bin/env python3
"""Checks the shipped exe as a deployment engineer would look at it: a 64-bit GUI program
that imports only system DLLs, carries an asInvoker manifest and a version resource, stays
under 256 KiB and holds no path of the machine that built it.

    python3 tests/exe/check_exe.py dist/ppkg-launcher.exe
"""

import os
import struct
import sys

# shell32 is left out on purpose: the argument split comes from shcore, and importing shell32
# would make every start of the launcher markedly slower.
SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'shcore.dll', 'msvcrt.dll', 'user32.dll', 'ntdll.dll'}
MAX_SIZE = 256 * 1024


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('not a PE image')
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from('<HHIIIHH', data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from('<H', data, opt)[0]
        self.subsystem = struct.unpack_from('<H', data, opt + 68)[0]
        self.directories = [struct.unpack_from('<II', data, opt + 112 + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            at = opt + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b'\0').decode()
            vsize, va, rawsize, raw = struct.unpack_from('<IIII', data, at + 8)
            self.sections.append((name, va, max(vsize, rawsize), raw))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(f'rva {rva:#x} outside every section')

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b'\0', at)].decode()

    def imports(self):
        rva, _ = self.directories[1]
        names, at = [], self.offset(rva)
        while True:
            name_rva = struct.unpack_from('<I', self.data, at + 12)[0]
            if name_rva == 0:
                return names
            names.append(self.cstring(name_rva))
            at += 20

    def resource_types(self):
        rva, _ = self.directories[2]
        base = self.offset(rva)
        named, ids = struct.unpack_from('<HH', self.data, base + 12)
        return {struct.unpack_from('<I', self.data, base + 16 + 8 * i)[0] for i in range(named, named + ids)}


def main(path):
    data = open(path, 'rb').read()
    image = PeImage(data)
    failures, checked = [], []

    def expect(ok, what):
        print(('ok   ' if ok else 'FAIL ') + what)
        checked.append(what)
        if not ok:
            failures.append(what)

    imports = image.imports()
    expect(image.machine == 0x8664 and image.magic == 0x20B, '64-bit PE32+ image for x64')
    expect(image.subsystem == 2, 'GUI subsystem, so no console ever opens')
    outside = sorted(d for d in imports if d.lower() not in SYSTEM_DLLS)
    expect(not outside, f'imports only system DLLs {sorted(imports)}' + (f', not {outside}' if outside else ''))
    types = image.resource_types()
    expect(24 in types, 'embedded application manifest')
    expect(16 in types, 'version resource')
    expect(b'level="asInvoker"' in data, 'manifest requests asInvoker')
    expect('ppkg-launcher'.encode('utf-16-le') in data, 'version resource names the product')
    expect(len(data) < MAX_SIZE, f'size {len(data)} bytes is under {MAX_SIZE}')
    source_root = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..')).encode()
    expect(source_root not in data and b'/build/' not in data, 'no build path inside the binary')
    print(f'exe: {len(checked) - len(failures)} passed, {len(failures)} failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
