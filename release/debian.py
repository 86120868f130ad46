"""What Debian's package database and copyright files say about installed files.

    owners(paths)                  which installed package each file came from (dpkg-query -S)
    versions(packages)             each package's version and architecture (dpkg-query -W)
    copyright_text(package)        /usr/share/doc/<package>/copyright
    Dep5(text)                     a machine-readable copyright file, by source path

Debian keeps a copyright file for every package; the machine-readable ones
(https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/) name the licence of each source
file through "Files:" patterns, where the last paragraph that matches a file wins.
"""

import os
import re
import subprocess

DOC_ROOT = '/usr/share/doc'
DEP5_FORMAT = re.compile(r'Format:\s*https?://www\.debian\.org/doc/packaging-manuals/copyright-format/1\.0/?')


class DebianError(Exception):
    pass


def _query(args):
    return subprocess.run(['dpkg-query', *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


def owners(paths):
    """{path: package} for each of PATHS (absolute, normalised) that an installed package holds.
    A path no package holds, or more than one does, is left out."""
    found = {}
    if not paths:
        return found
    r = _query(['-S', *sorted(set(paths))])
    for line in r.stdout.splitlines():
        if line.startswith('diversion by') or ': ' not in line:
            continue
        names, path = line.split(': ', 1)
        names = [n.strip() for n in names.split(',')]
        if path in paths and len(names) == 1:
            found[path] = names[0].split(':')[0]
    return found


def versions(packages):
    """{package: (version, architecture)} for the installed PACKAGES."""
    if not packages:
        return {}
    r = _query(['-W', '-f=${Package}\t${Version}\t${Architecture}\t${db:Status-Status}\n', *sorted(set(packages))])
    found = {}
    for line in r.stdout.splitlines():
        name, version, arch, status = line.split('\t')
        if status == 'installed':
            found[name] = (version, arch)
    missing = sorted(set(packages) - set(found))
    if missing:
        raise DebianError(f'not installed: {", ".join(missing)}')
    return found


def copyright_path(package):
    return os.path.join(DOC_ROOT, package, 'copyright')


def copyright_text(package):
    try:
        with open(copyright_path(package), encoding='utf-8') as f:
            return f.read()
    except OSError as e:
        raise DebianError(f'package {package} has no readable copyright file {copyright_path(package)}: '
                          f'{e.strerror}') from None


def is_dep5(text):
    return bool(DEP5_FORMAT.match(text.lstrip()))


def normalised(text):
    """TEXT with every run of white space made one blank: how a sentence is looked for in a file
    that may wrap it differently."""
    return ' '.join(text.split())


class Dep5:
    """A machine-readable copyright file: its Files paragraphs in order and its licence texts."""

    def __init__(self, text):
        self.upstream = ''
        self.files = []      # (patterns, copyright, licence short name)
        self.texts = {}      # licence short name: text
        for paragraph in _paragraphs(text):
            if 'Upstream-Name' in paragraph:
                self.upstream = paragraph['Upstream-Name'][0]
            if 'License' not in paragraph:
                continue
            name, *body = paragraph['License']
            if body:
                self.texts.setdefault(name, '\n'.join(body).strip('\n') + '\n')
            if 'Files' in paragraph:
                patterns = ' '.join(paragraph['Files']).split()
                self.files.append((patterns, '\n'.join(paragraph.get('Copyright', [])), name))
        if not self.files:
            raise DebianError('a machine-readable copyright file without a Files paragraph')

    def paragraph_for(self, source):
        """(patterns, copyright, licence) of the last Files paragraph that matches the source path
        SOURCE; with SOURCE None, the paragraph for "*", which covers every file no other
        paragraph names."""
        match = None
        for entry in self.files:
            patterns = entry[0]
            covers = '*' in patterns if source is None else any(_matches(p, source) for p in patterns)
            if covers:
                match = entry
        if match is None:
            raise DebianError(f'no Files paragraph covers {source or "a file of unknown source"}')
        return match


def _matches(pattern, path):
    # "*" matches any run of characters, "/" included; "?" one character; nothing else is special.
    regex = ''.join('.*' if c == '*' else '.' if c == '?' else re.escape(c) for c in pattern)
    return re.fullmatch(regex, path) is not None


def _paragraphs(text):
    """Each paragraph as {field: [first line, continuation lines...]}, continuation lines without
    their leading blank and a lone "." as an empty line."""
    paragraph, field = {}, None
    for line in text.splitlines() + ['']:
        if not line.strip():
            if paragraph:
                yield paragraph
            paragraph, field = {}, None
        elif line[0] in ' \t' and field:
            body = line[1:] if line[0] == ' ' else line.lstrip('\t')
            paragraph[field].append('' if body.strip() == '.' else body)
        elif ':' in line:
            field, value = line.split(':', 1)
            paragraph[field] = [value.strip()]
    return
