"""THIRD-PARTY-NOTICES.txt: what of others' code the programs carry, under which licence, what that
licence asks of a binary distribution, and each Debian copyright file the code came with, whole.
Made from thirdparty.Linked alone, so that the same links and the same toolchain give the same
bytes."""

import textwrap

NAME = 'THIRD-PARTY-NOTICES.txt'
RULE = '=' * 78


def _wrap(text, indent=''):
    return textwrap.fill(text, 78, initial_indent=indent, subsequent_indent=indent, break_on_hyphens=False)


def text(linked, version, programs):
    """The file's text for release VERSION of PROGRAMS (the names the link maps were made for)."""
    out = [f'Third-party notices for ppkg-launcher {version}', '',
           _wrap(f'{" and ".join(programs)} are the work of the ppkg-launcher authors (see LICENSE), linked '
                 'statically with parts of the runtime libraries of the toolchain they are built with '
                 '(Debian\'s mingw-w64 cross-compiler). The list below was read from the linker\'s map of each '
                 'program: every library it took code from, the Debian package that installed it, and the '
                 'licence of what it took. Each package\'s copyright file follows in full, then the licence '
                 'texts those files refer to by path.'), '']
    out += [RULE, 'Components', RULE, '']
    for c in linked.components:
        out.append(f'{c.file} ({c.name})')
        out.append(f'  Debian package {c.package} {c.version} ({c.arch}), installed as {c.path}')
        for program in c.programs():
            members = c.members[program]
            what = f'{len(members)} members' if members else 'linked whole'
            out.append(f'  in {program}: {what}')
        out.append(f'  licence: {c.licence}')
        # How the licence was found, member by member, where the copyright file names one per source file.
        groups = {}
        for member, (source, licence) in c.sources.items():
            groups.setdefault(licence, []).append((member or c.file, source))
        for licence, items in sorted(groups.items()):
            unnamed = [m for m, s in items if not s]
            parts = [f'{m} ({s})' for m, s in items if s]
            parts += [f'{len(unnamed)} members that record no source file'] if unnamed else []
            out.append(_wrap(f'{licence}: {", ".join(parts)}', '    '))
        out.append('')
    if any(s is None for c in linked.components for s, _ in c.sources.values()):
        out += [_wrap('A member that records no source file (the import stubs that dlltool makes from '
                      'mingw-w64\'s .def files) is counted under the copyright file\'s paragraph for "*", the '
                      'one that covers every file no other paragraph names.'), '']

    out += [RULE, 'What each licence asks of a binary distribution', RULE, '']
    for licence, statement in linked.terms.items():
        out += [licence, _wrap(statement, '  '), '']

    for packages, path, body in linked.notices:
        out += [RULE, f'{path}', f'(the copyright file of {", ".join(packages)})', RULE, '', body.rstrip('\n'), '']
    for name, path, package, version, body in linked.extra_texts:
        out += [RULE, f'{path}', f'(the {name} text the copyright files above refer to; Debian package '
                f'{package} {version})', RULE, '', body.rstrip('\n'), '']
    return '\n'.join(out).rstrip('\n') + '\n'

