"""Reads a GNU ld link map (-Wl,-Map=FILE): which object files and archive members a link took in.

ld writes the members it pulled out of archives under "Archive member included to satisfy
reference by file (symbol)", one per line that starts in the first column, as ARCHIVE(MEMBER);
the reason follows on indented lines. Object files named on the command line, and those the
compiler driver adds (the C runtime's start-up object, crtbegin.o, crtend.o), are linked whole
and appear as LOAD lines under "Linker script and memory map", beside the archives they searched.
"""

import re

MEMBERS_HEADING = 'Archive member included to satisfy reference by file (symbol)'
MEMORY_MAP_HEADING = 'Linker script and memory map'
# Inputs ld makes itself for the PE import tables; no file stands behind them.
LD_OWN_INPUTS = {'dll stuff', 'linker stubs'}
ARCHIVE_SUFFIXES = ('.a', '.lib')
# ld pads a short ARCHIVE(MEMBER) to column 30 and puts the reason on the same line; a longer one
# gets the reason on the next line.
MEMBER = re.compile(r'(?P<archive>[^\s(][^(]*?)\((?P<member>[^()]+)\)(?=\s|$)')


class LinkMapError(Exception):
    pass


def inputs(text):
    """(path, member) for every input the link took in, in the map's order, each once: member is
    None for an object file linked whole. Paths stand as ld wrote them (relative ones are relative
    to the folder the link ran in)."""
    lines = text.splitlines()
    try:
        start = lines.index(MEMBERS_HEADING)
    except ValueError:
        start = None
    try:
        memory_map = lines.index(MEMORY_MAP_HEADING)
    except ValueError:
        raise LinkMapError(f'not a GNU ld link map: no "{MEMORY_MAP_HEADING}" section') from None

    found = []
    if start is not None:
        for line in lines[start + 1:]:
            if not line.strip():
                continue
            if line[0].isspace():
                continue            # the reason a member was pulled in
            m = MEMBER.match(line)
            if not m:
                break               # the next section
            found.append((m.group('archive'), m.group('member')))
    for line in lines[memory_map + 1:]:
        if not line.startswith('LOAD '):
            continue
        path = line[len('LOAD '):].strip()
        if path in LD_OWN_INPUTS or path.endswith(ARCHIVE_SUFFIXES):
            continue                # an archive counts only through the members taken from it
        found.append((path, None))
    return list(dict.fromkeys(found))


def read(path):
    with open(path, encoding='utf-8', errors='replace') as f:
        return inputs(f.read())
