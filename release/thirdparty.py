"""What of others' code the programs carry: the link maps' inputs resolved to Debian packages,
licences and notices.

    linked = thirdparty.resolve({'ppkg-launcher.exe': [(path, member), ...], ...}, link_dir, own_root)

Every input a link took in (linkmap.inputs) is either the project's own (it lies under OWN_ROOT)
or a file some installed Debian package holds (dpkg-query -S), whose version dpkg-query -W gives
and whose notice is /usr/share/doc/<package>/copyright. The licence of what was taken comes from
that file's own text:

- a machine-readable copyright file (mingw-w64's) names a licence per source file: each member's
  source file is read from the compile unit its object records (DWARF DW_AT_name) and matched
  against the file's "Files:" paragraphs; a member that records none (the import stubs dlltool
  makes from .def files) counts under the paragraph for "*";
- a prose copyright file (gcc's) is read through PROSE_RULES: the library file names each rule
  covers, the licence, and the sentences of the copyright file that state it, which must stand
  in the file or the release stops.

Each licence must have an entry in BINARY_TERMS, which says what it asks of a binary distribution
and quotes the words of the licence text that say so (checked against the text). An input that no
package holds, a package without a copyright file, a library no rule covers, a licence without an
entry or a quote the text lacks stops the release with ThirdPartyError: no component leaves
without its notice.
"""

import dataclasses
import os
import re
import subprocess
import tempfile

import debian

TOOL_PREFIX = 'x86_64-w64-mingw32-'
COMMON_LICENSES = '/usr/share/common-licenses'

# gcc's copyright file is prose. Each rule: the installed files it covers, the component's name,
# its SPDX licence, the sentences of the copyright file that state it, and licence texts the
# file refers to by path instead of holding them.
RUNTIME_EXCEPTION = ['The following runtime libraries are licensed under the terms of the GNU General Public '
                     'License (v3 or later) with version 3.1 of the GCC Runtime Library Exception (included in '
                     'this file):',
                     'GCC RUNTIME LIBRARY EXCEPTION Version 3.1, 31 March 2009']
GCC_RUNTIME_LICENCE = 'GPL-3.0-or-later WITH GCC-exception-3.1'
PROSE_RULES = [
    ({'libstdc++.a', 'libsupc++.a'}, 'libstdc++', GCC_RUNTIME_LICENCE, RUNTIME_EXCEPTION + [' - libstdc++-v3 '],
     ['GPL-3']),
    # crtbegin.o and crtend.o are gcc/crtstuff.c, which the same sentence names.
    ({'libgcc.a', 'libgcc_eh.a', 'crtbegin.o', 'crtend.o'}, 'libgcc', GCC_RUNTIME_LICENCE,
     RUNTIME_EXCEPTION + [' - libgcc (libgcc/, gcc/libgcc2.[ch], gcc/unwind*, gcc/gthr*,', 'gcc/crtstuff.c'],
     ['GPL-3']),
]

# Licence short names of machine-readable copyright files that are SPDX identifiers with the same
# text; any other becomes LicenseRef-<upstream>-<name>, carried with its text.
SPDX_OF_DEP5 = {'ZPL-2.1': 'ZPL-2.1'}

# What each licence asks of whoever distributes the programs as binaries, read from its text, and
# the words of that text it rests on.
BINARY_TERMS = {
    GCC_RUNTIME_LICENCE: (
        'Nothing for the programs: the GCC Runtime Library Exception lets a program that GCC compiled '
        '(an "Eligible Compilation Process") and that combines the runtime library with the program\'s own '
        'code be conveyed "under terms of your choice", so the GPL\'s conditions do not pass to the '
        'programs. Both programs are compiled by GCC alone. Its notice is carried here all the same.',
        'You may then convey such a combination under terms of your choice, consistent with the licensing '
        'of the Independent Modules.'),
    'ZPL-2.1': (
        'A binary distribution must reproduce the copyright notice, the list of conditions and the '
        'disclaimer in its documentation or other materials (this file does), may not use the copyright '
        'holders\' names to endorse the programs, and grants no right to their trademarks.',
        'Redistributions in binary form must reproduce the accompanying copyright notice, this list of '
        'conditions, and the following disclaimer in the documentation and/or other materials provided '
        'with the distribution.'),
    'LicenseRef-mingw-w64-public-domain': (
        'Nothing: the files are placed in the public domain.',
        'This file has no copyright assigned and is placed in the Public Domain.'),
    'LicenseRef-mingw-w64-Lucent': (
        'The copyright notice, the permission notice and the warranty disclaimer must appear in the '
        'supporting documentation (this file), and Lucent\'s name may not be used in advertising.',
        'provided that the above copyright notice appear in all copies and that both that the copyright '
        'notice and this permission notice and warranty disclaimer appear in supporting documentation'),
    'LicenseRef-mingw-w64-Keith-Marshall': (
        'Nothing: it may be redistributed "without restriction of copyright".',
        'You may redistribute and/or modify it as you see fit, without restriction of copyright.'),
    'LicenseRef-mingw-w64-David-Gay': (
        'The copyright notice, the permission notice and the warranty disclaimer must appear in the '
        'supporting documentation (this file), and the author\'s name may not be used in advertising.',
        'provided that the above copyright notice appear in all copies and that both that the copyright '
        'notice and this permission notice and warranty disclaimer appear in supporting documentation'),
}


class ThirdPartyError(Exception):
    pass


@dataclasses.dataclass
class Component:
    """One library file of a Debian package from which a link took members (or, for an object file
    linked whole, the file itself)."""
    name: str                  # what the file is, e.g. libstdc++ or the mingw-w64 runtime
    path: str                  # the installed file
    package: str
    version: str
    arch: str
    licence: str               # an SPDX expression
    members: dict              # program: [member, ...] (empty for an object file linked whole)
    sources: dict = dataclasses.field(default_factory=dict)   # member: (source file or None, licence)

    @property
    def file(self):
        return os.path.basename(self.path)

    def programs(self):
        return sorted(self.members)


@dataclasses.dataclass
class Linked:
    components: list           # [Component], by package and file
    own: dict                  # program: number of the project's own inputs
    notices: list              # [(packages, copyright file path, text)], one per distinct text
    texts: dict                # LicenseRef- id: its text
    extra_texts: list          # [(name, path, package, version, text)]: licence texts referred to by path
    terms: dict                # licence id: what it asks of a binary distribution
    inputs: dict               # program: the link inputs this was resolved from


def resolve(link_inputs, link_dir, own_root):
    """LINK_INPUTS: {program: [(path, member), ...]} as linkmap.inputs gives them, paths relative to
    LINK_DIR where not absolute. Returns Linked; raises ThirdPartyError for anything without a
    notice."""
    own_root = os.path.realpath(own_root)
    own = {}
    taken = {}                          # installed path: {program: [members]}
    for program, inputs in sorted(link_inputs.items()):
        own[program] = 0
        for path, member in inputs:
            full = os.path.normpath(os.path.join(link_dir, path))
            if _inside(os.path.realpath(full), own_root):
                own[program] += 1
                continue
            taken.setdefault(full, {}).setdefault(program, [])
            if member is not None:
                taken[full][program].append(member)

    # dpkg knows a file by the path its package installed it under, which may be the link's own
    # spelling or, where a folder on the way is a link, the real one.
    known = debian.owners(set(taken) | {os.path.realpath(p) for p in taken})
    owners = {p: known.get(p) or known.get(os.path.realpath(p)) for p in taken}
    orphans = sorted(_described(p, taken[p]) for p in taken if not owners[p])
    if orphans:
        raise ThirdPartyError('the link took in what no installed Debian package holds, so no notice can be '
                              'found for it: ' + '; '.join(orphans))
    try:
        versions = debian.versions(set(owners.values()))
    except debian.DebianError as e:
        raise ThirdPartyError(str(e)) from None

    components, basis, extra, notices = [], {}, {}, {}
    for path in sorted(taken, key=lambda p: (owners[p], os.path.basename(p))):
        package = owners[path]
        try:
            text = debian.copyright_text(package)
        except debian.DebianError as e:
            raise ThirdPartyError(f'{_described(path, taken[path])}: {e}') from None
        if debian.is_dep5(text):
            component = _from_dep5(path, package, taken[path], debian.Dep5(text), basis)
        else:
            component = _from_prose(path, package, taken[path], text, basis, extra)
        component.version, component.arch = versions[package]
        components.append(component)
        notices.setdefault(text, (set(), debian.copyright_path(package)))[0].add(package)

    terms = {}
    for licence in sorted({part for c in components for part in licence_parts(c.licence)}):
        if licence not in BINARY_TERMS:
            users = sorted({f'{c.path}({m})' if m else c.path for c in components
                            for m, (_, part) in c.sources.items() if part == licence}
                           | {c.path for c in components if not c.sources and licence in licence_parts(c.licence)})
            raise ThirdPartyError(f'no statement of what {licence} asks of a binary distribution, which '
                                  f'{", ".join(users)} carries: read its text and add it to BINARY_TERMS')
        statement, quote = BINARY_TERMS[licence]
        if debian.normalised(quote) not in debian.normalised(basis[licence]):
            raise ThirdPartyError(f'the text of {licence} no longer says "{quote}": read it again before '
                                  f'stating what it asks')
        terms[licence] = statement

    extra_texts = []
    for name in sorted(extra):
        path = os.path.join(COMMON_LICENSES, name)
        package = debian.owners({path}).get(path)
        if not package:
            raise ThirdPartyError(f'{path}, which a copyright file refers to, is not installed by any package')
        with open(path, encoding='utf-8') as f:
            extra_texts.append((name, path, package, debian.versions({package})[package][0], f.read()))
    return Linked(components=components, own=own,
                  notices=[(sorted(pkgs), doc, text) for text, (pkgs, doc) in
                           sorted(notices.items(), key=lambda n: sorted(n[1][0]))],
                  texts={k: basis[k] for k in sorted(basis) if k.startswith('LicenseRef-')},
                  extra_texts=extra_texts, terms=terms, inputs=link_inputs)


def _inside(path, root):
    return path == root or path.startswith(root + os.sep)


def _described(path, by_program):
    members = sorted({m for ms in by_program.values() for m in ms})
    return f'{path}' + (f'({", ".join(members)})' if members else '') + f' in {", ".join(sorted(by_program))}'


def licence_parts(expression):
    """The licences an AND of licences names (a WITH expression is one licence here)."""
    return [p.strip('() ') for p in expression.split(' AND ')]


def _from_prose(path, package, members, text, basis, extra):
    name = os.path.basename(path)
    for files, component, licence, sentences, refers_to in PROSE_RULES:
        if name not in files:
            continue
        missing = [s for s in sentences if debian.normalised(s) not in debian.normalised(text)]
        if missing:
            raise ThirdPartyError(f'{debian.copyright_path(package)} no longer says what the licence of {name} '
                                  f'was read from: {missing}')
        for ref in refers_to:
            if os.path.join(COMMON_LICENSES, ref) not in text:
                raise ThirdPartyError(f'{debian.copyright_path(package)} no longer refers to '
                                      f'{os.path.join(COMMON_LICENSES, ref)}')
            extra[ref] = True
        basis[licence] = text
        return Component(name=component, path=path, package=package, version='', arch='', licence=licence,
                         members={p: sorted(set(m)) for p, m in members.items()})
    raise ThirdPartyError(f'{_described(path, members)} comes from {package}, whose copyright file is prose, and no '
                          f'rule says which of its licences covers {name}: read it and add one to PROSE_RULES')


def _from_dep5(path, package, members, dep5, basis):
    all_members = sorted({m for ms in members.values() for m in ms})
    sources = source_files(path, all_members or [None])
    licences, by_member = set(), {}
    for member, source in sources.items():
        try:
            _, _, short = dep5.paragraph_for(source)
        except debian.DebianError as e:
            raise ThirdPartyError(f'{debian.copyright_path(package)}: {e}') from None
        if short not in dep5.texts:
            raise ThirdPartyError(f'{path}' + (f'({member})' if member else '') + f': '
                                  f'{debian.copyright_path(package)} names the licence {short} of '
                                  f'{source or "it"} without its text')
        licence = SPDX_OF_DEP5.get(short) or 'LicenseRef-' + re.sub(r'[^A-Za-z0-9.-]+', '-',
                                                                     f'{dep5.upstream or package}-{short}')
        basis[licence] = dep5.texts[short]
        licences.add(licence)
        by_member[member] = (source, licence)
    return Component(name=dep5.upstream or package, path=path, package=package, version='', arch='',
                     licence=' AND '.join(sorted(licences)),
                     members={p: sorted(set(m)) for p, m in members.items()},
                     sources={m: by_member[m] for m in sorted(by_member, key=lambda m: m or '')})


def source_files(path, members):
    """{member: source file or None} for MEMBERS of the archive PATH (or, with members [None], for
    the object file PATH itself): the name of the compile unit each object records, as the
    toolchain's objdump reads its DWARF."""
    with tempfile.TemporaryDirectory(prefix='ppkg-members-') as scratch:
        if members == [None]:
            files = {None: path}
        else:
            r = subprocess.run([TOOL_PREFIX + 'ar', 'x', os.path.abspath(path), *members], cwd=scratch,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if r.returncode != 0:
                raise ThirdPartyError(f'could not read the members of {path}: {r.stderr.strip()}')
            files = {m: os.path.join(scratch, m) for m in members}
        r = subprocess.run([TOOL_PREFIX + 'objdump', '--dwarf=info', '--dwarf-depth=1', *files.values()],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           errors='replace')
        names = compile_unit_names(r.stdout)
    return {m: names.get(f) for m, f in files.items()}


def compile_unit_names(dump):
    """{object file: the DW_AT_name of its first compile unit, without a leading ./} from objdump
    --dwarf=info output."""
    names, current = {}, None
    for line in dump.splitlines():
        m = re.match(r'(\S.*?):\s+file format ', line)
        if m:
            current = m.group(1)
            continue
        m = re.search(r'DW_AT_name\s*:\s*(?:\([^)]*\):\s*)?(.+?)\s*$', line)
        if m and current is not None and current not in names:
            name = m.group(1)
            names[current] = name[2:] if name.startswith('./') else name
    return names
