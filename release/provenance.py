#!/usr/bin/env python3
"""PROVENANCE.txt: what a release was built from, with what and how, and the SHA-256 of the programs
as the build made them (before any signing), so that anyone can build the same commit again and
compare.

    python3 release/provenance.py CLAIMED REBUILT

compares the statement of a release (CLAIMED, its PROVENANCE.txt) with that of a release built
again from the commit it names (REBUILT): the same commit, build commands, toolchain versions and
launcher bytes, and the same kit bytes where both kits were built to check the same launcher.
Prints each difference; exit 0 when there is none, 1 otherwise.

The statement is lines of "key: value" after a short heading, one value per line, a key repeated
for a list: plain to read and to parse.
"""

import os
import shutil
import subprocess
import sys

import debian

NAME = 'PROVENANCE.txt'
# The programs the build runs, found as the build finds them, and a header it reads: their
# packages are the toolchain, with the packages the linked libraries came from.
TOOLS = ['x86_64-w64-mingw32-g++-win32', 'x86_64-w64-mingw32-ld', 'x86_64-w64-mingw32-as',
         'x86_64-w64-mingw32-windres', 'cmake', 'ninja']
COMPILER = 'x86_64-w64-mingw32-g++-win32'
HEADERS = '/usr/x86_64-w64-mingw32/include/windows.h'


class ProvenanceError(Exception):
    pass


def toolchain(linked):
    """{package: (version, arch)} of the Debian packages that hold the build's tools, the Windows
    headers, the compiler proper, and the libraries the links took code from."""
    paths = set()
    for tool in TOOLS:
        found = shutil.which(tool)
        if not found:
            raise ProvenanceError(f'{tool} is not installed')
        paths.add(os.path.realpath(found))
    cc1plus = subprocess.run([COMPILER, '-print-prog-name=cc1plus'], stdout=subprocess.PIPE, text=True,
                             check=True).stdout.strip()
    paths |= {os.path.realpath(cc1plus), os.path.realpath(HEADERS)}
    owners = debian.owners(paths)
    missing = sorted(paths - set(owners))
    if missing:
        raise ProvenanceError(f'no installed package holds {", ".join(missing)}')
    packages = set(owners.values()) | {c.package for c in linked.components}
    return debian.versions(packages)


def host():
    """The Debian release the build ran on, as /etc/os-release names it."""
    try:
        with open('/etc/os-release', encoding='utf-8') as f:
            fields = dict(line.rstrip('\n').split('=', 1) for line in f if '=' in line)
    except OSError:
        return 'unknown', 'unknown'
    return fields.get('PRETTY_NAME', 'unknown').strip('"'), fields.get('VERSION_CODENAME', 'unknown').strip('"')


def statement(release_name, commit, commit_time, host_name, build, kit_build, tools, launcher, kit, checked, signed):
    """The statement's text. BUILD and KIT_BUILD: the commands, as text; TOOLS: toolchain();
    LAUNCHER, KIT: SHA-256 of the programs as built; CHECKED: SHA-256 of the launcher the kit was
    built to check (the released one); SIGNED: whether the released programs carry signatures."""
    lines = [
        f'Provenance of {release_name}',
        '',
        'Built from the commit below by the commands below, in a clean export of that commit (git archive),',
        'with the toolchain below. Building the same commit again with the same toolchain gives the same',
        'programs, byte for byte, before signing: README.md "Checking a release" says how to check it.',
        '',
        f'source-commit: {commit}',
        f'source-time: {commit_time}',
        f'build-host: {host_name}',
    ]
    lines += [f'build-command: {c}' for c in build]
    lines += [f'kit-build-command: {c}' for c in kit_build]
    lines += [f'toolchain: {p} {v} {a}' for p, (v, a) in sorted(tools.items())]
    lines += [
        f'sha256-ppkg-launcher.exe: {launcher}',
        f'sha256-ppkg-verify.exe: {kit}',
        f'ppkg-verify.exe-checks-launcher-sha256: {checked}',
        f'signed: {"yes" if signed else "no"}',
    ]
    if signed:
        lines += ['', 'The released programs carry Authenticode signatures: "osslsigncode remove-signature" gives',
                  'back the bytes whose SHA-256 is stated above.']
    return '\n'.join(lines) + '\n'


def parse(text):
    """{key: [value, ...]} of a statement's "key: value" lines."""
    fields = {}
    for line in text.splitlines():
        key, sep, value = line.partition(': ')
        if sep and key and ' ' not in key:
            fields.setdefault(key, []).append(value)
    return fields


def compare(claimed, rebuilt):
    """Each way in which the statement REBUILT (of a release built again) differs from CLAIMED, in
    words; empty when the rebuild confirms the claim."""
    problems = []
    for key in ('source-commit', 'build-command', 'kit-build-command', 'toolchain', 'sha256-ppkg-launcher.exe'):
        if not claimed.get(key):
            problems.append(f'the statement names no {key}')
        elif claimed.get(key) != rebuilt.get(key):
            problems.append(f'{key}: stated {claimed.get(key)}, rebuilt {rebuilt.get(key)}')
    # The kit embeds the SHA-256 of the launcher it checks: only kits built for the same one compare.
    if claimed.get('ppkg-verify.exe-checks-launcher-sha256') == rebuilt.get('ppkg-verify.exe-checks-launcher-sha256'):
        if claimed.get('sha256-ppkg-verify.exe') != rebuilt.get('sha256-ppkg-verify.exe'):
            problems.append(f'sha256-ppkg-verify.exe: stated {claimed.get("sha256-ppkg-verify.exe")}, '
                            f'rebuilt {rebuilt.get("sha256-ppkg-verify.exe")}')
    return problems


def main(argv):
    if len(argv) != 2:
        print(__doc__.split('\n\n')[1], file=sys.stderr)
        return 2
    texts = []
    for path in argv:
        with open(path, encoding='utf-8') as f:
            texts.append(parse(f.read()))
    problems = compare(*texts)
    for problem in problems:
        print(f'provenance: {problem}')
    same_kit = texts[0].get('ppkg-verify.exe-checks-launcher-sha256') == texts[1].get(
        'ppkg-verify.exe-checks-launcher-sha256')
    if not problems:
        print('provenance: the rebuild confirms the statement: same commit, commands, toolchain and '
              'ppkg-launcher.exe' + (' and ppkg-verify.exe' if same_kit else
                                     '; ppkg-verify.exe not compared: the two kits check different launchers'
                                     ' (a signed and an unsigned one)'))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
