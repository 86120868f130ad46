#!/usr/bin/env python3
"""Checks the shipped exe as a deployment engineer would look at it: a 64-bit GUI program
that imports only system DLLs, carries an asInvoker manifest and a version resource holding
the project's version, stays under 256 KiB and holds no path of the machine that built it.
A signed exe passes too: its Authenticode certificate table only has to sit at the file's end.

    python3 tests/exe/check_exe.py dist/ppkg-launcher.exe
"""

import os
import re
import struct
import sys

# shell32 is left out on purpose: the argument split comes from shcore, and importing shell32
# would make every start of the launcher markedly slower.
SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'shcore.dll', 'msvcrt.dll', 'user32.dll', 'ntdll.dll'}
MAX_SIZE = 256 * 1024
SOURCE_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
RT_VERSION = 16
SECURITY_DIRECTORY = 4


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

    def _resource_entries(self, table):
        """(id or name offset, is_directory, offset inside the resource section) of one table."""
        base = self.offset(self.directories[2][0])
        named, ids = struct.unpack_from('<HH', self.data, base + table + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from('<II', self.data, base + table + 16 + 8 * i)
            yield name, bool(target & 0x80000000), target & 0x7FFFFFFF

    def resource_types(self):
        return {name for name, _, _ in self._resource_entries(0)}

    def resource(self, type_id):
        """The bytes of the first resource of TYPE_ID (its first name, first language), or None."""
        def first(table, want_directory, type_wanted=None):
            return next((at for name, is_dir, at in self._resource_entries(table)
                         if is_dir == want_directory and type_wanted in (None, name)), None)

        names = first(0, True, type_id)
        languages = None if names is None else first(names, True)
        entry = None if languages is None else first(languages, False)
        if entry is None:
            return None
        rva, size = struct.unpack_from('<II', self.data, self.offset(self.directories[2][0]) + entry)
        start = self.offset(rva)
        return self.data[start:start + size]

    def version_info(self):
        """(fixed file version, fixed product version, {string name: value}) of the version
        resource, the fixed ones as 'a.b.c.d'; None when there is none."""
        block = self.resource(RT_VERSION)
        if block is None:
            return None
        strings = {}
        fixed = None

        def walk(at, end):
            nonlocal fixed
            while at + 6 <= end:
                length, value_length, value_type = struct.unpack_from('<HHH', block, at)
                if length == 0:
                    return
                key_end = at + 6
                while block[key_end:key_end + 2] != b'\0\0':
                    key_end += 2
                key = block[at + 6:key_end].decode('utf-16-le')
                value_at = (key_end + 2 + 3) & ~3
                value_size = value_length * 2 if value_type == 1 else value_length
                value = block[value_at:value_at + value_size]
                if key == 'VS_VERSION_INFO' and len(value) >= 52:
                    sig, _, fms, fls, pms, pls = struct.unpack_from('<IIIIII', value)
                    if sig == 0xFEEF04BD:
                        fixed = tuple(f'{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}'
                                      for ms, ls in ((fms, fls), (pms, pls)))
                elif value_type == 1 and key not in ('StringFileInfo',):
                    strings[key] = value.decode('utf-16-le').rstrip('\0')
                walk((value_at + value_size + 3) & ~3, at + length)
                at = (at + length + 3) & ~3

        walk(0, len(block))
        if fixed is None:
            return None
        return fixed[0], fixed[1], strings

    def certificate_table(self):
        """(file offset, size) of the Authenticode certificate table, or None when unsigned."""
        offset, size = self.directories[SECURITY_DIRECTORY]
        return (offset, size) if size else None


def project_version():
    """The version in CMakeLists.txt's project() call."""
    with open(os.path.join(SOURCE_ROOT, 'CMakeLists.txt'), encoding='utf-8') as f:
        m = re.search(r'project\(\s*ppkg-launcher\s+VERSION\s+(\d+\.\d+\.\d+)', f.read())
    return m.group(1) if m else None


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
    version = project_version()
    info = image.version_info()
    want = (f'{version}.0', f'{version}.0', version, version)
    got = info and (info[0], info[1], info[2].get('FileVersion'), info[2].get('ProductVersion'))
    expect(version is not None and got == want,
           f'version resource holds the project version {version} (fixed and strings: {got})')
    expect(len(data) < MAX_SIZE, f'size {len(data)} bytes is under {MAX_SIZE}')
    table = image.certificate_table()
    if table:
        offset, size = table
        past_sections = max(raw + size_ for _, _, size_, raw in image.sections)
        expect(offset >= past_sections and offset + size == len(data),
               f'Authenticode certificate table ({size} bytes) closes the file, outside every section')
    expect(SOURCE_ROOT.encode() not in data and b'/build/' not in data, 'no build path inside the binary')
    print(f'exe: {len(checked) - len(failures)} passed, {len(failures)} failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1]))
