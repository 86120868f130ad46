#!/usr/bin/env python3
"""End-to-end bench: runs the shipped launcher inside one Wine prefix against stand-ins for
powershell.exe and provtool.exe in the system folder, then judges it by its full exit code, the
commands it ran (the stand-ins' log), the registry record and what it left in its temp folder.
Decoys of both tools sit where only a search would find them; none may ever run.

    python3 tests/wine/e2e.py --launcher dist/ppkg-launcher.exe --bench build/windows/bench \
        [--verify dist/tools/ppkg-verify.exe] [-k TEXT]

Without --launcher only the bench's own checks run; the launcher cases count as skipped.
With --verify, the verification program also runs here against the launcher and the stand-ins.
"""

import argparse
import contextlib
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

ID1 = '4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f'
ID2 = '4c7d2a11-91e3-4b58-a6f2-3d05c1e8b940'
EXIT_PASS = 0x50415353
EXIT_FAIL = 0x4641494C
KEY = r'HKLM\SOFTWARE\NORV\Quorrant\Selvond'
PROVTOOL_LINE = r'C:\Windows\System32\provtool.exe Norv_CML_PPM_Package.ppkg /quiet'
PACKAGE_FILE = 'Norv_CML_PPM_Package.ppkg'
REPORT_NAME = re.compile(r'norv4c7d2a00-91e3-4b58-a6f2-3d05c[0-9A-Fa-f]+\.pkt')
# Temp paths made only of these go on the command line bare; anything else must be quoted.
BARE_OK = set('abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\\:._-~')
SINGLE_QUOTES = "'\u2018\u2019\u201a\u201b"
# The stand-in replaces Wine's own stub here, where the launcher starts PowerShell by full path.
SYSTEM_POWERSHELL = ('windows', 'system32', 'WindowsPowerShell', 'v1.0', 'powershell.exe')
SYSTEM_PROVTOOL = ('windows', 'system32', 'provtool.exe')
# Found only by a search: beside the launcher, then in its working directory.
DECOYS = [('bench', 'powershell.exe'), ('bench', 'provtool.exe'), ('work', 'powershell.exe'), ('work', 'provtool.exe')]
DECOY_LOG = 'decoy-ran.txt'  # at the root of drive C:, written by any decoy that runs
SEEDED = '9.9.9'


class Failure(Exception):
    pass


class Skipped(Exception):
    """The machine cannot set up what the test needs (e.g. mounting is not permitted)."""


def check(cond, msg):
    if not cond:
        raise Failure(msg)


def read_text(path):
    with open(path, encoding='utf-8') as f:
        return f.read().strip()


def read_bytes(path):
    """The file's bytes, or None when there is no file at the path."""
    try:
        with open(path, 'rb') as f:
            return f.read()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def reg_sz(text):
    data = text.encode('utf-16-le') + b'\0\0'
    return f'type=1 size={len(data)} data={data.hex()}'


def unquote_ps(target):
    """Reads a redirection target the way PowerShell would: (text, was_quoted) or None."""
    if target[:1] and target[0] in SINGLE_QUOTES:
        out, i = [], 1
        while i < len(target):
            c = target[i]
            if c in SINGLE_QUOTES:
                if i + 1 < len(target) and target[i + 1] in SINGLE_QUOTES:
                    out.append(target[i + 1])
                    i += 2
                    continue
                return (''.join(out), True) if i == len(target) - 1 else None
            out.append(c)
            i += 1
        return None
    return (target, False) if target and ' ' not in target else None


class Wine:
    """One prefix with a persistent server; every wine process writes to files, never pipes."""

    def __init__(self, root):
        self.root = root
        self.prefix = os.path.join(root, 'prefix')
        self.drive_c = os.path.join(self.prefix, 'drive_c')
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=',
                        # Non-ASCII arguments survive the trip into Wine only under a UTF-8 locale.
                        LANG='C.UTF-8', LC_ALL='C.UTF-8')
        self.out = open(os.path.join(root, 'wine-output.txt'), 'ab')

    def _call(self, argv, timeout, cwd=None):
        return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=self.out,
                              stderr=self.out, timeout=timeout, cwd=cwd).returncode

    def boot(self):
        self._call(['wineboot', '-i'], 300)
        # wineboot leaves a short-lived server behind; wait for it before starting ours.
        self._call(['wineserver', '-w'], 120)
        self._call(['wineserver', '-p'], 60)

    def stop(self):
        try:
            self._call(['wineserver', '-k'], 60)
        except Exception:
            pass
        self.out.close()

    def run(self, *args, timeout=90, cwd=None):
        """CWD (a Unix folder inside drive_c) becomes the Windows program's current directory."""
        return self._call(['wine'] + list(args), timeout, cwd)

    def errors_since(self, offset):
        """Wine's own error lines written to its output file after OFFSET."""
        self.out.flush()
        with open(self.out.name, 'rb') as f:
            f.seek(offset)
            text = f.read().decode(errors='replace')
        return [line for line in text.splitlines()
                if (line.startswith(('err:', 'wine:')) or ':err:' in line) and 'nodrv_' not in line][:20]

    def c(self, *parts):
        return os.path.join(self.drive_c, *parts)

    def win(self, unix_path):
        rel = os.path.relpath(unix_path, self.drive_c)
        check(not rel.startswith('..'), f'{unix_path} is outside drive_c')
        return 'C:\\' + rel.replace('/', '\\')


class Store:
    """The simulated provisioning store the stand-ins read and write."""

    def __init__(self, path):
        self.path = path
        os.makedirs(os.path.join(path, 'packages'))
        os.makedirs(os.path.join(path, 'raw'))

    def add(self, pid, version, installed='True', removable=True):
        with open(os.path.join(self.path, 'packages', pid + '.txt'), 'w', encoding='utf-8') as f:
            f.write(f'version={version}\ninstalled={installed}\nremovable={"yes" if removable else "no"}\n')

    def raw(self, pid, data):
        with open(os.path.join(self.path, 'raw', pid + '.bin'), 'wb') as f:
            f.write(data)

    def apply(self, *entries):
        """What provtool installs: (id, version) or (id, version, installed) per package."""
        with open(os.path.join(self.path, 'apply.txt'), 'w', encoding='utf-8') as f:
            for e in entries:
                # provtool splits these lines on blanks; a version with one needs add() instead.
                check(' ' not in e[1], f'apply.txt cannot carry the version {e[1]!r}')
                f.write(' '.join(e) + '\n')

    def flag(self, name):
        open(os.path.join(self.path, name), 'w').close()

    def has(self, pid):
        return os.path.exists(os.path.join(self.path, 'packages', pid + '.txt'))

    def log(self):
        try:
            with open(os.path.join(self.path, 'log.txt'), encoding='utf-8') as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


class Case:
    """A fresh store, temp folder and (unless seeded) no registry record for one test."""

    def __init__(self, bench, tmp_name='tmp', seed=None, clear_registry=True):
        self.bench = bench
        bench.last_case = self
        self.wine = bench.wine
        bench.counter += 1
        self.dir = self.wine.c('e2e', str(bench.counter))
        self.store = Store(os.path.join(self.dir, 'store'))
        self.tmp = os.path.join(self.dir, tmp_name)
        os.makedirs(self.tmp)
        self.tmp_win = self.wine.win(self.tmp) + '\\'
        if clear_registry:
            self.wine.run('reg', 'delete', KEY, '/f', '/reg:64')
        if seed is not None:
            self.wine.run('reg', 'add', KEY, '/v', 'Version', '/t', 'REG_SZ', '/d', seed, '/f', '/reg:64')
        self.last_log = []

    def run(self, args):
        """Runs the launcher with ARGS; returns (full exit code, classified log)."""
        out = os.path.join(self.dir, 'exit.txt')
        if os.path.exists(out):
            os.remove(out)
        w = self.wine
        tmp = self.tmp_win.rstrip('\\')
        logged = len(self.store.log())
        for attempt in range(3):
            w.out.flush()
            output_before = os.path.getsize(w.out.name)
            w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out),
                  '--env', 'TMP=' + tmp, '--env', 'TEMP=' + tmp,
                  '--env', 'PPKG_BENCH_STORE=' + w.win(self.store.path),
                  '--cwd', w.win(w.c('work')), '--timeout', '60000',
                  '--', w.win(w.c('bench', 'ppkg-launcher.exe')), *args)
            text = read_text(out) if os.path.exists(out) else None
            # Wine itself now and then fails a process start (the new process cannot map its
            # shared page). Only when nothing at all ran, not even a stand-in, is it started again.
            unstarted = text is None or text.startswith('exit=start-failed')
            if not unstarted or len(self.store.log()) > logged or attempt == 2:
                break
            print(f'note: the {"runner" if text is None else "launcher"} could not be started '
                  f'({text.strip() if text else "no exit code"}); started again', flush=True)
            for line in w.errors_since(output_before):
                print(f'    wine: {line}', flush=True)
        check(text is not None, 'runner wrote no exit code')
        m = re.fullmatch(r'exit=(\d+)', text)
        check(m, f'launcher did not run to the end: {text}')
        self.last_log = self.store.log()
        ran = decoys_ran(w)
        check(not ran, f'a decoy ran: {ran}')
        left = [n for n in os.listdir(self.tmp) if n.lower().endswith('.pkt') or n.lower().startswith('norv')]
        check(not left, f'report files left in the temp folder: {left}')
        return int(m.group(1)), [self.classify(line) for line in self.last_log]

    def classify(self, line):
        """rm1/rm2/q1/q2/prov for the exact expected commands; anything else stays visible."""
        ids = {ID1: '1', ID2: '2'}
        m = re.fullmatch(r'powershell\.exe Remove-ProvisioningPackage -PackageId (\S+)', line)
        if m and m.group(1) in ids:
            return 'rm' + ids[m.group(1)]
        m = re.fullmatch(r'powershell\.exe Get-ProvisioningPackage -PackageId (\S+) >(.*)', line)
        if m and m.group(1) in ids:
            parsed = unquote_ps(m.group(2))
            must_quote = any(c not in BARE_OK for c in self.tmp_win)
            if (parsed and parsed[1] == must_quote and parsed[0].startswith(self.tmp_win)
                    and REPORT_NAME.fullmatch(parsed[0][len(self.tmp_win):])):
                return 'q' + ids[m.group(1)]
        if line == PROVTOOL_LINE:
            return 'prov'
        return '?' + line

    def registry(self):
        out = os.path.join(self.dir, 'reg.txt')
        self.wine.run(self.wine.win(self.wine.c('benchtools', 'regread.exe')), self.wine.win(out),
                      KEY.split('\\', 1)[1], 'Version')
        check(os.path.exists(out), 'regread wrote nothing')
        return read_text(out)


def decoys_ran(wine):
    """The decoys' log lines (own path | command line), emptied for the next run."""
    path = wine.c(DECOY_LOG)
    if not os.path.exists(path):
        return []
    with open(path, encoding='utf-8', errors='replace') as f:
        lines = f.read().splitlines()
    os.remove(path)
    return lines


class Bench:
    def __init__(self, wine, launcher, verify=None, bench_dir=None):
        self.wine = wine
        self.launcher = launcher
        self.verify = verify
        self.bench_dir = bench_dir
        self.have_launcher = bool(launcher)
        self.counter = 0
        self.last_case = None

    def case(self, **kw):
        return Case(self, **kw)


class moved_away:
    """Renames a file inside the prefix for one test and always puts it back."""

    def __init__(self, *paths):
        self.paths = paths

    def __enter__(self):
        for p in self.paths:
            os.rename(p, p + '.away')

    def __exit__(self, *exc):
        for p in self.paths:
            if os.path.exists(p + '.away'):
                os.rename(p + '.away', p)


# ---- tests ---------------------------------------------------------------------------------

TESTS = []


def test(name, cases=None, bench_only=False):
    def register(fn):
        if cases is None:
            TESTS.append((name, fn, (), bench_only))
        else:
            for label, *params in cases:
                TESTS.append((f'{name}[{label}]', fn, tuple(params), bench_only))
        return fn
    return register


def expect(got, want, what):
    check(got == want, f'{what}: got {got!r}, want {want!r}')


FIRST_PASS = ['rm1', 'q1', 'rm2', 'q2', 'q1', 'q2']


@test('install-applies', [
    ('id1', [(ID1, '1.0.2')], ['prov', 'q1'], '1.0.2'),
    ('id2-only', [(ID2, '2.0.7')], ['prov', 'q1', 'q2'], '2.0.7'),
    ('both-id1-wins', [(ID1, '1.0.2'), (ID2, '2.0.7')], ['prov', 'q1'], '1.0.2'),
    ('non-ascii-version', [(ID1, '1.0-é-Ā')], ['prov', 'q1'], '1.0-é-Ā'),
])
def t_install_applies(b, applied, tail, version):
    c = b.case()
    c.store.apply(*applied)
    code, seq = c.run([])
    expect(code, EXIT_PASS, 'exit')
    expect(seq, FIRST_PASS + tail, 'commands')
    expect(c.registry(), reg_sz(version), 'registry')


@test('install-replaces-stale-record')
def t_install_stale(b):
    c = b.case(seed=SEEDED)
    c.store.apply((ID1, '1.0.2'))
    code, _ = c.run([])
    expect(code, EXIT_PASS, 'exit')
    expect(c.registry(), reg_sz('1.0.2'), 'registry')


@test('provtool-missing')
def t_provtool_missing(b):
    c = b.case()
    c.store.apply((ID1, '1.0.2'))
    with moved_away(b.wine.c(*SYSTEM_PROVTOOL)):
        code, seq = c.run([])
    expect(code, EXIT_FAIL, 'exit')
    expect(seq[:6], FIRST_PASS, 'commands')
    check('prov' not in seq, f'provtool ran: {seq}')
    expect(c.registry(), 'absent-key', 'registry')


@test('package-applies-nothing', [('no-apply-list', False), ('no-package-file', True)])
def t_applies_nothing(b, drop_package_file):
    c = b.case()
    if drop_package_file:
        c.store.apply((ID1, '1.0.2'))  # would install, but provtool finds no package to read
    package = b.wine.c('work', PACKAGE_FILE)
    with moved_away(*([package] if drop_package_file else [])):
        code, seq = c.run([])
    expect(code, EXIT_FAIL, 'exit')
    expect(seq, FIRST_PASS + ['prov', 'q1', 'q2'], 'commands')
    expect(c.registry(), 'absent-key', 'registry')


@test('already-present', [
    # (label, packages that survive removal: (id, version, installed), commands, recorded version)
    ('id1-unremovable', [(ID1, '3.1', 'True')], FIRST_PASS[:5], '3.1'),
    ('id2-unremovable', [(ID2, '3.2', 'True')], FIRST_PASS, '3.2'),
    ('both-unremovable', [(ID1, '3.1', 'True'), (ID2, '3.2', 'True')], FIRST_PASS[:5], '3.1'),
    ('installed-false', [(ID1, '4.0', 'False')], FIRST_PASS[:5], '4.0'),
    ('blank-in-version', [(ID1, '1.0 é Ā', 'True')], FIRST_PASS[:5], '1.0 é Ā'),
])
def t_already_present(b, survivors, commands, version):
    c = b.case()
    c.store.apply((ID1, 'never-applied'))
    for pid, ver, installed in survivors:
        c.store.add(pid, ver, installed=installed, removable=False)
    code, seq = c.run([])
    expect(code, EXIT_PASS, 'exit')
    expect(seq, commands, 'commands')
    expect(c.registry(), reg_sz(version), 'registry')


@test('empty-version')
def t_empty_version(b):
    c = b.case()
    c.store.apply((ID1, ''))
    code, seq = c.run([])
    expect(code, EXIT_PASS, 'exit')
    expect(seq, FIRST_PASS + ['prov', 'q1'], 'commands')
    expect(c.registry(), 'absent-key', 'registry')


@test('keywords', [
    ('/UNINSTALL', ['/UNINSTALL'], 'install'),
    ('/Uninstall', ['/Uninstall'], 'install'),
    ('/uninstall:', ['/uninstall:'], 'install'),
    ('/uninstall a b', ['/uninstall', 'a', 'b'], 'install'),
    ('/uninstall extra', ['/uninstall', 'extra'], 'uninstall'),
    ('/getstatus', ['/getstatus'], 'refused'),
    ('/getstatus ""', ['/getstatus', ''], 'refused'),
    ('/getstatus a b', ['/getstatus', 'a', 'b'], 'install'),
])
def t_keywords(b, args, action):
    c = b.case()
    c.store.apply((ID1, '1.0.2'))
    code, seq = c.run(args)
    if action == 'install':
        expect(code, EXIT_PASS, 'exit')
        expect(seq, FIRST_PASS + ['prov', 'q1'], 'commands')
    elif action == 'uninstall':
        expect(code, 0, 'exit')
        check(seq[:1] == ['rm1'] and 'rm2' in seq and 'prov' not in seq, f'commands: {seq}')
    else:
        expect(code, 1, 'exit')
        expect(c.last_log, [], 'commands')


@test('uninstall', [
    # (label, setup, exit, record kept)
    ('nothing-installed', 'none', 0, False),
    ('both-removed', 'both', 0, False),
    ('id1-unremovable', 'keep1', 1, True),
    ('id2-unremovable', 'keep2', 1, True),
    ('powershell-unavailable', 'no-powershell', 1, True),
    ('powershell-writes-nothing', 'silent', 1, True),
])
def t_uninstall(b, setup, want_exit, kept):
    c = b.case(seed=SEEDED)
    s = c.store
    if setup == 'both':
        s.add(ID1, '1.0.2')
        s.add(ID2, '2.0.7')
    elif setup == 'keep1':
        s.add(ID1, '1.0.2', removable=False)
    elif setup == 'keep2':
        s.add(ID2, '2.0.7', removable=False)
    elif setup == 'silent':
        s.flag('powershell-silent')
    hidden = []
    if setup == 'no-powershell':
        hidden = [b.wine.c(*SYSTEM_POWERSHELL)]
    with moved_away(*hidden):
        code, seq = c.run(['/uninstall'])
    expect(code, want_exit, 'exit')
    expect(c.registry(), reg_sz(SEEDED) if kept else 'absent-key', 'registry')
    check('prov' not in seq, f'provtool ran: {seq}')
    if setup == 'no-powershell':
        expect(c.last_log, [], 'commands')
    else:
        # A package that stays must not stop the other from being removed and checked.
        check('rm1' in seq and 'rm2' in seq and 'q2' in seq[seq.index('rm2'):], f'commands: {seq}')
    if setup == 'both':
        check(not s.has(ID1) and not s.has(ID2), 'packages still in the store')


@test('temp-folder', [
    ('blank-apostrophe', "tmp dir/o'k"),
    ('bare-safe-chars', 'a.b-c_d~1'),
    ('dollar-semicolon', 'a$b;c'),
    ('non-ascii-typographic-quote', 'é\u2019x'),
])
def t_temp_folder(b, name):
    c = b.case(tmp_name=name)
    c.store.apply((ID1, '1.0.2'))
    code, seq = c.run([])
    expect(code, EXIT_PASS, 'exit')
    expect(seq, FIRST_PASS + ['prov', 'q1'], 'commands')
    expect(c.registry(), reg_sz('1.0.2'), 'registry')


# ---- tools from the system folder ------------------------------------------------------------

@test('decoys-never-run', [
    # (label, arguments, exit, commands): the stand-ins' log shows the texts, unchanged.
    ('install', [], EXIT_PASS, FIRST_PASS + ['prov', 'q1']),
    ('uninstall', ['/uninstall'], 0, ['rm1', 'q1', 'rm2', 'q2']),
    ('getstatus', ['/getstatus', r'C:\work\decoy-status.txt'], 0, ['q1', 'q1']),
])
def t_decoys_never_run(b, args, want_exit, commands):
    w = b.wine
    c = b.case()
    c.store.apply((ID1, '1.0.2'))
    if args[:1] == ['/getstatus']:
        c.store.add(ID1, STATUS_VERSION)
    for place in DECOYS:
        check(os.path.isfile(w.c(*place)), f'no decoy at {place}')
    try:
        code, seq = c.run(args)  # fails on any line in the decoys' log
        expect(code, want_exit, 'exit')
        expect(seq, commands, 'commands')
    finally:
        if os.path.exists(w.c('work', 'decoy-status.txt')):
            os.remove(w.c('work', 'decoy-status.txt'))


@test('decoy-found-by-search', [
    # (label, folder of the starting program, its current directory, decoy that runs)
    ('beside-the-program', 'bench', 'benchtools', 'bench'),
    ('working-directory', 'benchtools', 'work', 'work'),
], bench_only=True)
def t_decoy_found_by_search(b, program_dir, cwd, found):
    """The decoys sit where a search by name looks, so the cases above would see a search."""
    w = b.wine
    c = b.case(clear_registry=False)
    out = os.path.join(c.dir, 'exit.txt')
    runner = w.c(program_dir, 'runner.exe')
    if program_dir != 'benchtools':
        shutil.copy(w.c('benchtools', 'runner.exe'), runner)
    try:
        w.run(w.win(runner), w.win(out), '--', 'provtool.exe', '/quiet', cwd=w.c(cwd))
    finally:
        if program_dir != 'benchtools':
            os.remove(runner)
    expect(read_text(out), 'exit=0', 'exit')
    expect(decoys_ran(w), [f'C:\\{found}\\provtool.exe | provtool.exe /quiet'], 'decoy log')


# ---- /getstatus ----------------------------------------------------------------------------

REPORT_SDDL = 'D:P(D;OICI;GA;;;BG)(D;OICI;GA;;;AN)(A;OICI;GRGX;;;AU)(A;OICI;GA;;;BA)'
STATUS_VERSION = '10.0.1.3'
STATUS_LINE = b'Version=10.0.1.3\n'


def snapshot(root, skip=('store', 'tmp', 'exit.txt', 'reg.txt')):
    """Every file and link under ROOT with its contents or target; directories are left out."""
    found = {}
    for top, dirs, files in os.walk(root):
        rel_top = os.path.relpath(top, root)
        if rel_top == '.':
            dirs[:] = [d for d in dirs if d not in skip]
            files = [f for f in files if f not in skip]
        for name in dirs + files:
            full = os.path.join(top, name)
            rel = os.path.normpath(os.path.join(rel_top, name))
            if os.path.islink(full):
                found[rel] = ('link', os.readlink(full))
            elif name in files:
                found[rel] = ('file', read_bytes(full))
    return found


class mounted_tmpfs:
    """A tmpfs mounted at PATH for one test, unmounted on every way out."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        os.makedirs(self.path)
        r = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1m', 'tmpfs', self.path],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            raise Skipped('mounting not permitted: ' + r.stdout.decode(errors='replace').strip())
        return self

    def __exit__(self, *exc):
        if os.path.ismount(self.path):
            if subprocess.run(['umount', self.path]).returncode != 0:
                subprocess.run(['umount', '-l', self.path])


SDDL_RIGHTS = {'GA': 0x10000000, 'GX': 0x20000000, 'GW': 0x40000000, 'GR': 0x80000000}


def sddl_meaning(text):
    """A DACL-only SDDL text as (DACL flags, ACEs in order), each ACE with its flags as a set
    and its rights as one mask, so that spellings of the same descriptor compare equal."""
    m = re.fullmatch(r'D:([A-Z]*)((?:\([^()]*\))+)', text)
    check(m, f'not a DACL-only SDDL text: {text!r}')
    aces = []
    for ace in re.findall(r'\(([^()]*)\)', m.group(2)):
        fields = ace.split(';')
        check(len(fields) == 6, f'ACE {ace!r}')
        kind, flags, rights, obj, inherited, sid = fields
        if rights.lower().startswith('0x'):
            mask = int(rights, 16)
        else:
            tokens = [rights[i:i + 2] for i in range(0, len(rights), 2)]
            check(all(t in SDDL_RIGHTS for t in tokens), f'rights {rights!r}')
            mask = sum(SDDL_RIGHTS[t] for t in set(tokens))
        aces.append((kind, frozenset(flags[i:i + 2] for i in range(0, len(flags), 2)), mask, obj, inherited, sid))
    return m.group(1), aces


def getstatus(c, path_win):
    return c.run(['/getstatus', path_win])


@test('getstatus-report', [
    # (label, packages in the store, exit, queries, report bytes)
    ('id1', [(ID1, STATUS_VERSION)], 0, ['q1', 'q1'], STATUS_LINE),
    ('id2-only', [(ID2, '2.0.7')], 0, ['q1', 'q2', 'q1', 'q2'], b'Version=2.0.7\n'),
    ('both-id1-wins', [(ID1, STATUS_VERSION), (ID2, '2.0.7')], 0, ['q1', 'q1'], STATUS_LINE),
    ('none', [], 1, ['q1', 'q2'], b'Not installed\n'),
    ('unit-below-256-is-one-byte', [(ID1, '1.0 \u00e9\u00ff')], 0, ['q1', 'q1'], b'Version=1.0 \xe9\xff\n'),
    ('unit-256-empties-report', [(ID1, '1.0-\u00e9-\u0100')], 0, ['q1', 'q1'], b''),
])
def t_getstatus_report(b, packages, want_exit, queries, report):
    c = b.case(seed=SEEDED)
    for pid, version in packages:
        c.store.add(pid, version)
    path = os.path.join(c.dir, 'status.txt')
    code, seq = getstatus(c, b.wine.win(path))
    expect(code, want_exit, 'exit')
    expect(seq, queries, 'commands')
    expect(read_bytes(path), report, 'report')
    # A status request installs, removes and records nothing.
    expect(c.registry(), reg_sz(SEEDED), 'registry')
    check(all(c.store.has(pid) for pid, _ in packages), 'a package left the store')


OLD_REPORT = b'Version=99.99.99.99-previous\r\nand a second line that must not survive\r\n'


@test('getstatus-path', [
    # (label, path as given, where the report lands, what was there before)
    # {d} is the case folder, {n} the case number.
    ('bare-name', 'status-{n}.txt', r'C:\work\status-{n}.txt', None),
    # The current directory of drive C, which the bench starts the launcher in.
    ('drive-relative', 'C:status-{n}.txt', r'C:\work\status-{n}.txt', None),
    ('slash-before-file', r'{d}\new/status.txt', r'{d}\new\status.txt', None),
    ('missing-directories', r'{d}\new\sub\status.txt', None, None),
    ('quoted-with-blanks', r'{d}\my reports\status now.txt', None, None),
    ('longer-report-replaced', r'{d}\status.txt', None, OLD_REPORT),
])
def t_getstatus_path(b, given, lands, before):
    c = b.case()
    c.store.add(ID1, STATUS_VERSION)
    w = b.wine
    fill = dict(d=w.win(c.dir), n=b.counter)
    given = given.format(**fill)
    target = w.c(*(lands or given).format(**fill)[3:].split('\\'))
    if before is not None:
        with open(target, 'wb') as f:
            f.write(before)
        old_inode = os.stat(target).st_ino
    new_entries, up = [], target
    while not os.path.exists(up):
        new_entries.append(up)
        up = os.path.dirname(up)
    try:
        code, seq = getstatus(c, given)
        expect(code, 0, 'exit')
        expect(seq, ['q1', 'q1'], 'commands')
        expect(read_bytes(target), STATUS_LINE, 'report')
        # Wine keeps no descriptor, but maps one without an Everyone entry to mode bits with
        # nothing for others: the one trace that what the launcher made got the report's.
        for p in new_entries:
            check(os.stat(p).st_mode & 0o007 == 0, f'{p} made without the report descriptor: {os.stat(p).st_mode:o}')
        if before is not None:
            # A new file took the name. It has the earlier report's list, which Wine makes up from the
            # mode bits with read for everyone: mode bits for others, which the report's own list
            # would not give.
            check(os.stat(target).st_ino != old_inode, 'the existing report was written into, not replaced')
            check(os.stat(target).st_mode & 0o007 != 0, f'the earlier report\'s list was not kept: '
                                                        f'{os.stat(target).st_mode:o}')
        if target.startswith(c.dir + os.sep):
            # Nothing but the report: a path cut at a blank would leave a file elsewhere.
            expect(snapshot(c.dir), {os.path.relpath(target, c.dir): ('file', STATUS_LINE)}, 'files')
    finally:
        if not target.startswith(c.dir + os.sep) and os.path.exists(target):
            os.remove(target)


@test('getstatus-refused', [
    # (label, what stands at the path), all with a package reported, so the exit stays 0
    ('directory', 'directory'),
    ('symlink-to-directory', 'dirlink'),
    ('mount-point', 'mount'),
    # Both separators split alike: {d}\x is made, reports/ is missing and only a backslash lets
    # a folder be made, so the walk stops there and removes {d}\x again.
    ('slash-after-missing-directories', 'mixed'),
    # Names no file once "/" splits as "\" does; once wrote a file {d}\v.
    ('dot-after-slash', 'dot-after-slash'),
    # A colon names a stream: refused before anything is made.
    ('stream', 'stream'),
    ('stream-on-new-folder', 'stream-folder'),
])
def t_getstatus_refused(b, kind):
    c = b.case()
    c.store.add(ID1, STATUS_VERSION)
    w = b.wine
    at = os.path.join(c.dir, 'status.txt')
    given = w.win(at)
    behind = os.path.join(c.dir, 'behind')
    mount = None
    if kind == 'directory':
        os.makedirs(at)
        behind = at
    elif kind == 'dirlink':
        os.makedirs(behind)
        os.symlink(behind, at)
    elif kind == 'mount':
        mount = mounted_tmpfs(at)
        behind = at
    elif kind == 'mixed':
        given = w.win(c.dir) + r'\x\reports/new/status.txt'
    elif kind == 'dot-after-slash':
        given = w.win(c.dir) + r'\v/.'
    elif kind == 'stream':
        given += ':s'
    elif kind == 'stream-folder':
        given = w.win(c.dir) + r'\x\:y'
    with mount or contextlib.nullcontext():
        if os.path.isdir(behind):
            with open(os.path.join(behind, 'keep.txt'), 'wb') as f:
                f.write(OLD_REPORT)
        before = snapshot(c.dir)
        code, seq = getstatus(c, given)
        expect(code, 0, 'exit')
        expect(seq, ['q1', 'q1'], 'commands')
        expect(snapshot(c.dir), before, 'files and links under the case folder')
        if kind in ('directory', 'mount'):
            check(os.path.isdir(at) and not os.path.islink(at), 'the directory at the path changed')
        if kind == 'mount':
            check(os.path.ismount(at), 'the mount point is gone')


def new_files_left(folder):
    """The launcher's new files, ~ppkg-launcher-N.tmp, still in FOLDER."""
    return sorted(n for n in os.listdir(folder) if re.fullmatch(r'~ppkg-launcher-\d+\.tmp', n))


@test('getstatus-replaced', [
    # (label, what stands at the path), all with a package reported
    ('existing-report', 'file'),
    # A second name of a file elsewhere: that file keeps its bytes, the report is a new file.
    ('hard-link', 'hardlink'),
    # Wine shows a link to a file as the file, and a dangling one as nothing: either way the link
    # itself loses its name to the new report, and what it leads to is not touched or made.
    ('file-symlink', 'filelink'),
    ('dangling-symlink', 'dangling'),
])
def t_getstatus_replaced(b, kind):
    c = b.case()
    c.store.add(ID1, STATUS_VERSION)
    at = os.path.join(c.dir, 'status.txt')
    behind = os.path.join(c.dir, 'behind')
    os.makedirs(behind)
    protected = os.path.join(behind, 'protected.txt')
    with open(protected, 'wb') as f:
        f.write(OLD_REPORT)
    if kind == 'file':
        with open(at, 'wb') as f:
            f.write(OLD_REPORT)
    elif kind == 'hardlink':
        os.link(protected, at)
    elif kind == 'filelink':
        os.symlink(protected, at)
    elif kind == 'dangling':
        os.symlink(os.path.join(behind, 'never.txt'), at)
    inode = os.lstat(at).st_ino
    code, seq = getstatus(c, b.wine.win(at))
    expect(code, 0, 'exit')
    expect(seq, ['q1', 'q1'], 'commands')
    expect(read_bytes(at), STATUS_LINE, 'report')
    check(not os.path.islink(at) and os.lstat(at).st_ino != inode and os.lstat(at).st_nlink == 1,
          'the report is not a new file of its own')
    expect(read_bytes(protected), OLD_REPORT, 'the file behind')
    expect(os.stat(protected).st_nlink, 1, 'links of the file behind')
    expect(sorted(os.listdir(behind)), ['protected.txt'], 'the folder behind')
    expect(new_files_left(c.dir), [], 'new files left')


@test('getstatus-untouched', [
    # (label, what keeps the new report from being put in place)
    # A full volume: the new file is made but cannot be written, and goes again.
    ('volume-full', 'full'),
    # The report's name holds a directory, which a rename never replaces.
    ('directory-at-name', 'directory'),
])
def t_getstatus_untouched(b, why):
    c = b.case()
    c.store.add(ID1, STATUS_VERSION)
    folder = os.path.join(c.dir, 'reports')
    with mounted_tmpfs(folder) if why == 'full' else contextlib.nullcontext():
        os.makedirs(folder, exist_ok=True)
        at = os.path.join(folder, 'status.txt')
        if why == 'directory':
            os.makedirs(at)
            at = os.path.join(at, 'keep.txt')
        with open(at, 'wb') as f:
            f.write(OLD_REPORT)
        if why == 'full':
            filler = os.open(os.path.join(folder, 'filler'), os.O_WRONLY | os.O_CREAT)
            try:
                while True:
                    os.write(filler, b'\0' * 4096)
            except OSError:
                pass
            finally:
                os.close(filler)
        before = snapshot(folder)
        inode = os.stat(at).st_ino
        code, seq = getstatus(c, b.wine.win(os.path.join(folder, 'status.txt')))
        expect(code, 0, 'exit')
        expect(seq, ['q1', 'q1'], 'commands')
        expect(snapshot(folder), before, 'the earlier report and everything beside it')
        expect(os.stat(at).st_ino, inode, 'the earlier report, as a file')
        expect(new_files_left(folder), [], 'new files left')


@test('report-sddl-round-trip', bench_only=True)
def t_report_sddl(b):
    w = b.wine
    c = b.case(clear_registry=False)
    out = os.path.join(c.dir, 'sddl.txt')
    w.run(w.win(w.c('benchtools', 'sddlcheck.exe')), w.win(out), REPORT_SDDL)
    back = read_text(out)
    # Wine writes GENERIC_READ|GENERIC_EXECUTE as GXGR: same mask, so compare what the text means.
    expect(sddl_meaning(back), sddl_meaning(REPORT_SDDL), f'meaning of {back!r}')
    if b.launcher:
        # Ties the text checked here to the one the shipped exe hands to the conversion.
        data = read_bytes(b.launcher)
        check(REPORT_SDDL.encode('utf-16-le') in data, 'the launcher does not carry this SDDL text')


# The launcher cases above rest on the PowerShell stand-in reading its command line the strict
# way PowerShell does; these pin that down.
RAW_REPORT = b'\xff\xfeanything at all'


@test('standin-target', [
    ('quoted-doubled', ["'{t}o''k.pkt'"], 0, "o'k.pkt", None),
    ('typographic-doubled', ["'{t}a\u2019\u2019b.pkt'"], 0, 'a\u2019b.pkt', None),
    ('raw-report-verbatim', ['{t}r.pkt'], 0, 'r.pkt', RAW_REPORT),
    ('split-by-crt', ['{t}a', 'b.pkt'], 1, None, None),
    ('bare-with-dollar', ['{t}a$b.pkt'], 1, None, None),
    ('unterminated', ["'{t}a.pkt"], 1, None, None),
    ('missing-folder', ['{t}nodir\\a.pkt'], 1, None, None),
], bench_only=True)
def t_standin_target(b, target_words, want_exit, written, raw):
    c = b.case(clear_registry=False)
    c.store.add(ID1, '1.0 é', installed='False')
    if raw is not None:
        c.store.raw(ID1, raw)
    w = b.wine
    out = os.path.join(c.dir, 'exit.txt')
    words = [x.format(t=c.tmp_win) for x in target_words]
    words[0] = '>' + words[0]
    w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out),
          '--env', 'PPKG_BENCH_STORE=' + w.win(c.store.path),
          '--', w.win(w.c(*SYSTEM_POWERSHELL)), 'Get-ProvisioningPackage', '-PackageId', ID1, *words)
    expect(read_text(out), f'exit={want_exit}', 'exit')
    files = os.listdir(c.tmp)
    expect(files, [written] if written else [], 'files written')
    if written:
        want = raw or ('\ufeff\r\nPackageId       : ' + ID1 + '\r\nPackageName     : Norv CML PPM\r\n'
                       'IsInstalled     : False\r\nVersion         : 1.0 é\r\n\r\n\r\n').encode('utf-16-le')
        with open(os.path.join(c.tmp, written), 'rb') as f:
            expect(f.read(), want, 'report bytes')


# ---- the verification program ---------------------------------------------------------------

# What each case of the verification program does under Wine: pass, print information, or say
# that it cannot be prepared here, never pass on something Wine cannot set up.
VERIFY_UNDER_WINE = {
    # Wine keeps no access lists, so the scratch folder's protected list does not read back.
    'scratch-protected': 'not prepared',
    'report-written': 'pass',
    # Wine's CreateSymbolicLinkW answers success and makes nothing, and setting a mount point fails
    # with error 50: no junctions. No link can be planted at any level.
    'link-at-report': 'not prepared', 'link-as-folder': 'not prepared', 'link-above': 'not prepared',
    'link-above-forward-slashes': 'not prepared', 'link-in-chain': 'not prepared',
    'link-current-directory': 'not prepared',
    # DefineDosDeviceW makes the object manager's link (\\??\\C:\\...), which QueryDosDeviceW reads
    # back, though Wine's file system does not follow it: the launcher refuses it from the link.
    # Wine maps no network drive.
    'subst-drive': 'pass', 'mapped-drive': 'not prepared',
    # Hard links work: the report is replaced, the file behind keeps its bytes. A file held open
    # refuses the rename, as on Windows.
    'hard-link': 'pass', 'report-held-open': 'pass',
    # Wine, as root, replaces a read-only file by a rename: the kit's own control shows it.
    'report-read-only': 'not prepared',
    # An owner set on a file does not read back: the list a replaced report keeps is Windows'.
    'report-list-kept': 'not prepared',
    # ReadDirectoryChangesW works (through inotify): the levels are seen made and removed.
    'chain-rollback': 'pass',
    'acl-report': 'not prepared', 'acl-directory': 'not prepared',
    # Wine applies the share-access check as Windows does: a folder held for traverse is pinned,
    # one held for its attributes alone is not.
    'held-level-rename': 'pass',
    'junction-after-check': 'not prepared', 'junction-after-check-reading': 'not prepared',
    # Wine's GetProcessMitigationPolicy answers without filling anything in: no RedirectionGuard here.
    'redirection-guard': 'info', 'redirection-guard-child': 'info',
    # The stand-in's bytes, not Windows PowerShell's.
    'powershell-present': 'info', 'powershell-absent': 'info', 'powershell-binding-error': 'info',
    'powershell-binding-error-merged': 'info', 'powershell-runtime-failure': 'info',
    # Judged from the stand-in's bytes: the query without administrators' rights fails while the
    # cmdlet runs, keeps the marker and answers 1 (PPKG_BENCH_RUNTIME_FAILURE unset).
    'query-verdict': 'pass',
    'command-line-split': 'pass',
    # Wine's registry has no KnownDLLs list.
    'known-dlls': 'not prepared',
    'getstatus-time': 'info',
    # Wine's trace sessions are stubs: StartTraceW answers success and makes no file.
    'trace-events': 'not prepared',
}
VERDICT = re.compile(r'([a-z0-9-]+): (pass(?: \(.*\))?|FAIL: .+|cannot prepare here: .+|info: .+)')
REFUSED_CLOSING = 'Nothing checked. Exit 3: '
MARKER_HEX = ' '.join(f'{b:02x}' for b in b'ppkg-launcher: reserved\r\n')


def run_verify(b, c, program, folder, *args, env=()):
    """Runs PROGRAM (a ppkg-verify build) inside FOLDER; returns (exit code, header lines,
    {case: verdict}, closing line). Every line must be a header, a case line or the closing line."""
    w = b.wine
    out, text_out = os.path.join(c.dir, 'exit.txt'), os.path.join(c.dir, 'verify.txt')
    for path in (out, text_out):
        if os.path.exists(path):
            os.remove(path)
    env_args = [a for pair in env for a in ('--env', pair)]
    w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out), '--stdout', w.win(text_out), *env_args,
          '--timeout', '600000', '--cwd', w.win(folder), '--', w.win(program), *args, timeout=660)
    with open(text_out, encoding='utf-8') as f:
        lines = f.read().splitlines()
    c.last_log = lines  # shown on failure
    headers, results = [], {}
    for line in lines[:-1]:
        if line.startswith('ppkg-verify: '):
            headers.append(line)
            continue
        m = VERDICT.fullmatch(line)
        check(m, f'not a case line: {line!r}')
        check(m.group(1) not in results, f'{m.group(1)} printed twice')
        results[m.group(1)] = m.group(2)
    closing = lines[-1] if lines else ''
    m = re.fullmatch(r'exit=(\d+)', read_text(out))
    check(m, f'the verification program did not run to its end: {read_text(out)}')
    return int(m.group(1)), headers, results, closing


def kind_of(verdict):
    return ('pass' if verdict.startswith('pass') else 'info' if verdict.startswith('info: ')
            else 'not prepared' if verdict.startswith('cannot prepare here: ') else 'FAIL')


def expect_closing(closing, results, code):
    """The counts of RESULTS and the advice for exit CODE."""
    kinds = [kind_of(v) for v in results.values()]
    want = (f'{kinds.count("pass")} passed, {kinds.count("FAIL")} failed, {kinds.count("not prepared")} not prepared. '
            f'Exit {code}: ')
    check(closing.startswith(want), f'closing line {closing!r} does not start with {want!r}')


def expect_refused(code, results, headers, closing, reason):
    """A run that refused to start: exit 3, no case, REASON on the last line before the closing one."""
    expect(code, 3, 'exit code of a refusal')
    expect(results, {}, 'cases run')
    check(closing.startswith(REFUSED_CLOSING), f'closing line {closing!r}')
    check(headers and reason in headers[-1], f'the line before the closing one does not say {reason!r}: {headers}')


def verify_folder(b, name, launcher, program='ppkg-verify.exe'):
    """A folder in the prefix holding LAUNCHER and the shipped verification program (or PROGRAM,
    the bench's build)."""
    folder = b.wine.c(name)
    os.makedirs(folder)
    shutil.copy(launcher, os.path.join(folder, 'ppkg-launcher.exe'))
    shutil.copy(b.verify if program == 'ppkg-verify.exe' else os.path.join(b.bench_dir, program),
                os.path.join(folder, program))
    return folder


def sha256_of(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


# Wine keeps no access lists: every folder reads back owned by Wine's own user, so the shipped
# kit refuses every folder here (verify-refuses). Its cases run under Wine through the bench's
# build, which says so and goes on where the shipped one refuses; the release checks that the
# shipped kit holds no such way (tests/release, verify-kit).
FOLDER_REFUSAL = 'its owner S-1-5-21-0-0-0-1000 may rewrite its list'


@test('verify-program')
def t_verify_program(b):
    if not b.verify:
        raise Skipped('no --verify given')
    c = b.case(clear_registry=False)
    program = 'ppkg-verify-bench.exe'
    folder = verify_folder(b, 'verify', b.launcher, program)
    # No store: every query finds the package absent, as on a machine that never had it.
    code, headers, results, closing = run_verify(b, c, os.path.join(folder, program), folder)
    check(any('BENCH BUILD: its folder may be changed by others' in h and FOLDER_REFUSAL in h for h in headers),
          f'the bench build does not say that it goes on where the shipped one refuses: {headers}')
    expect(sorted(results), sorted(VERIFY_UNDER_WINE), 'cases')
    for name, verdict in results.items():
        expect((name, kind_of(verdict)), (name, VERIFY_UNDER_WINE[name]), f'verdict {verdict!r}')
    expect_closing(closing, results, 2)
    expect(code, 2, 'exit code with cases not prepared and none failed')
    digest = sha256_of(b.launcher)
    check(f'ppkg-verify: launcher C:\\verify\\ppkg-launcher.exe SHA-256 {digest}' in headers, f'launcher hash: {headers}')
    check(f'ppkg-verify: built beside the launcher with SHA-256 {digest}' in headers, f'embedded hash: {headers}')
    check(any(h.startswith('ppkg-verify: runs the copy ') and h.endswith(' (its own)') for h in headers),
          f'the temp folder is not its own: {headers}')
    expect(results['report-written'], 'pass (exit 1, "Not installed\\x0a")', 'report-written')
    expect(results['chain-rollback'], 'pass (new1 added, new1\\new2 added, new1\\new2 removed, new1 removed)',
           'chain-rollback')
    expect(results['held-level-rename'], 'pass (held through the launcher\'s Win32 layer as the walk holds it: rename '
                                         'error 32, delete error 32; held for its attributes alone: renamed and '
                                         'removed)', 'held-level-rename')
    check(results['hard-link'].startswith('pass (exit 1; a new file took the name, behind\\keep.txt kept its bytes'),
          results['hard-link'])
    # The stand-in truncates a > target as Windows PowerShell is expected to, and refuses an
    # unknown parameter before it opens the target.
    expect(results['powershell-absent'],
           "info: 2 bytes: ff fe; the marker is gone; read as absent; PowerShell's exit code 0", 'powershell-absent')
    for name in ('powershell-binding-error', 'powershell-binding-error-merged'):
        expect(results[name], f"info: 25 bytes: {MARKER_HEX}; the marker is still there, untouched; read as could not "
                              "ask; PowerShell's exit code 1; its error: [Get-ProvisioningPackage], "
                              "ParameterBindingException", name)
    expect(results['powershell-runtime-failure'],
           f"info: 25 bytes: {MARKER_HEX}; the marker is still there, untouched; read as could not ask; PowerShell's "
           "exit code 1; its error: [Get-ProvisioningPackage], UnauthorizedAccessException", 'powershell-runtime-failure')
    check(results['powershell-present'].startswith("info: neither of the launcher's packages is installed here"),
          results['powershell-present'])
    check(results['query-verdict'].startswith('pass (go: an absent package leaves the byte-order mark alone (read as '
                                              "absent, PowerShell's exit code 0); the launcher's query failing while "
                                              "the cmdlet ran (no administrators' rights) leaves the launcher's marker "
                                              "untouched (read as could not ask"),
          results['query-verdict'])
    check('this Windows has no RedirectionGuard' in results['redirection-guard'], results['redirection-guard'])
    check(re.fullmatch(r'info: median \d+ ms of 7 runs \(fastest \d+ ms, slowest \d+ ms\), exit 1',
                       results['getstatus-time']), results['getstatus-time'])
    # Its scratch folder is gone again, and nothing else appeared beside the two programs.
    expect(sorted(os.listdir(folder)), ['ppkg-launcher.exe', program], 'left in its folder')


@test('verify-refuses', [
    # (label, what is wrong, what the line before the closing one must say)
    ('other-launcher', 'decoy', 'refused: this is not the launcher this program was built beside'),
    # A Unix link to a folder shows as a reparse point (0x410): the kit will not plant behind it.
    ('linked-folder', 'link', 'is a link, junction or mount point'),
    # Any folder: Wine's made-up lists let its own user change every level, from C:\ down.
    ('changeable-folder', 'plain', 'refused: C:\\: ' + FOLDER_REFUSAL),
])
def t_verify_refuses(b, wrong, message):
    if not b.verify:
        raise Skipped('no --verify given')
    c = b.case(clear_registry=False)
    launcher = os.path.join(b.bench_dir, 'decoy.exe') if wrong == 'decoy' else b.launcher
    real = verify_folder(b, f'verify-{wrong}', launcher)
    folder = real
    if wrong == 'link':
        folder = real + '-link'
        os.symlink(real, folder)
    code, headers, results, closing = run_verify(b, c, os.path.join(folder, 'ppkg-verify.exe'), folder)
    expect_refused(code, results, headers, closing, message)
    if wrong == 'decoy':
        # Both hashes, so that the person running it sees which launcher it was built for.
        check(f'SHA-256 {sha256_of(launcher)}' in headers[-3] and f'SHA-256 {sha256_of(b.launcher)}' in headers[-2],
              f'hashes: {headers}')
    if wrong == 'plain':
        # It says how to make a folder it takes.
        check('mkdir "%ProgramFiles%\\ppkg-verify"' in headers[-1], f'no remedy: {headers[-1]}')
    expect(sorted(os.listdir(real)), ['ppkg-launcher.exe', 'ppkg-verify.exe'], 'left in its folder')


def survivors(wine, names):
    """(pid, command line) of the processes of this prefix whose command line holds one of NAMES
    (lower case) and that have not ended."""
    found = []
    prefix = ('WINEPREFIX=' + wine.prefix).encode()
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/cmdline', 'rb') as f:
                cmd = f.read().replace(b'\0', b' ').decode(errors='replace')
            with open(f'/proc/{entry}/stat') as f:
                state = f.read().rsplit(')', 1)[1].split()[0]
            with open(f'/proc/{entry}/environ', 'rb') as f:
                env = f.read().split(b'\0')
        except OSError:
            continue
        if state != 'Z' and prefix in env and any(name in cmd.lower() for name in names):
            found.append((int(entry), cmd.strip()))
    return found


@test('verify-guards', [
    # (label, what the stand-in launcher does, options, {case: (verdict kind, part of its text)}, exit,
    #  what must be left in the temp folder the kit was started with, whether another launcher runs)
    # Writes nothing at all: every refusal would pass by itself, and a chain that never made its
    # levels leaves the folder as it was.
    # It never switches RedirectionGuard on either: redirection-guard cannot pass (Wine has none;
    # VerifyKitTest shows that a launcher seen without it fails on Windows).
    ('launcher-writes-nothing', 'inert', ['/only', 'report-written,hard-link,chain-rollback,redirection-guard'],
     {'report-written': ('FAIL', 'no report at'),
      'hard-link': ('FAIL', 'nothing replaced the report'),
      'chain-rollback': ('FAIL', 'new1 was never made'),
      'redirection-guard': ('info', 'this Windows has no RedirectionGuard')}, 1, [], False),
    # Writes through whatever stands at the path: hard-link sees the report written into.
    ('launcher-writes-through', 'writes-through', ['/only', 'report-written,hard-link,chain-rollback'],
     {'report-written': ('pass', ''), 'hard-link': ('FAIL', 'the report was written into, not replaced'),
      'chain-rollback': ('FAIL', 'new1 was never made')}, 1, [], False),
    # Never ends, and leaves a child and a temp report in the kit's own temp folder: the whole
    # tree ends, the report goes.
    ('launcher-hangs', 'hangs', ['/only', 'report-written', '/timeout', '3'],
     {'report-written': ('FAIL', 'did not end within 3 seconds: ended with all it started; its temp report')}, 1, [], False),
    # Leaves a temp report in the kit's own temp folder: only its own run can have made it.
    ('temp-report-its-own', 'leaves-temp', ['/only', 'report-written'],
     {'report-written': ('FAIL', 'the run left a temp report behind: ')}, 1, [], False),
    # The same in a temp folder others share (the system account's SystemTemp): it may be another
    # run's, so it stays where it is and proves nothing either way.
    ('temp-report-not-its-own', 'leaves-temp', ['/only', 'report-written', '/shared-temp'],
     {'report-written': ('not prepared', 'appeared in the shared temp folder during the run')}, 2, ['temp report'], False),
    # Another deployment's run of the launcher, outside the kit's jobs, while the case runs: any
    # user can start a process of that name, so the line names who did and from where.
    ('another-launcher-run', 'writes-through', ['/only', 'report-written'],
     {'report-written': ('not prepared', 'another run of the launcher was running meanwhile (ppkg-launcher.exe (process '),
      }, 2, [], True),
    # Answers 0 with an empty report: that is no report of an installed package.
    ('launcher-writes-empty', 'writes-empty', ['/only', 'report-written'],
     {'report-written': ('FAIL', 'exit 0 but the report is empty')}, 1, [], False),
])
def t_verify_guards(b, mode, options, wanted, want_exit, want_tmp, other_run):
    if not b.verify:
        raise Skipped('no --verify given')
    c = b.case(clear_registry=False)
    folder = b.wine.c(f'verify-{mode}-{len(options)}-{want_exit}')
    os.makedirs(folder)
    shutil.copy(os.path.join(b.bench_dir, 'ppkg-verify-bench.exe'), folder)
    standin = b.wine.c('standins', 'fake-launcher.exe')
    os.makedirs(os.path.dirname(standin), exist_ok=True)
    shutil.copy(os.path.join(b.bench_dir, 'fake-launcher.exe'), standin)
    tmp = c.tmp_win.rstrip('\\')
    other = start_other_launcher(b) if other_run else None
    try:
        code, headers, results, closing = run_verify(
            b, c, os.path.join(folder, 'ppkg-verify-bench.exe'), folder, '/launcher', b.wine.win(standin), *options,
            env=('PPKG_FAKE_LAUNCHER=' + mode, 'TMP=' + tmp, 'TEMP=' + tmp))
    finally:
        if other:
            stop_other_launcher(b, other)
    check(any('BENCH BUILD' in h for h in headers), f'the bench build does not say what it is: {headers}')
    del results['scratch-protected']  # Wine keeps no access lists
    expect(sorted(results), sorted(wanted), 'cases')
    for name, (kind, text) in wanted.items():
        check(kind_of(results[name]) == kind and text in results[name], f'{name}: {results[name]!r}')
    expect_closing(closing, {**results, 'scratch-protected': 'cannot prepare here: '}, want_exit)
    expect(code, want_exit, 'exit code')
    expect(survivors(b.wine, ['ppkg-verify-scratch']), [], 'processes left running')
    left = os.listdir(c.tmp)
    expect(['temp report' for name in left if re.fullmatch(r'norv4c7d2a00-91e3-4b58-a6f2-3d05c\d+\.pkt', name)],
           want_tmp, f'left in the temp folder {left}')
    expect(os.listdir(folder), ['ppkg-verify-bench.exe'], 'left in its folder')
    if other_run:
        check(re.search(r'run by [^,)]*S-1-5-21-[0-9-]+, C:\\other\\ppkg-launcher\.exe\)', results['report-written']),
              f'the other run is not named with its account and path: {results["report-written"]!r}')


@test('verify-query-verdict', [
    # (label, what the stand-in's query without administrators' rights leaves, verdict kind, part of it, exit)
    # The binding error keeps the marker either way: it decides nothing.
    ('runtime-failure-keeps', 'keeps', 'pass', "(go: ", 2),
    ('runtime-failure-empties', 'empties', 'FAIL',
     "no-go: an absent package leaves the byte-order mark alone (read as absent, PowerShell's exit code 0); the "
     "launcher's query failing while the cmdlet ran (no administrators' rights) leaves an empty file (read as absent, "
     "PowerShell's exit code 1, UnauthorizedAccessException)", 1),
])
def t_verify_query_verdict(b, how, kind, text, want_exit):
    if not b.verify:
        raise Skipped('no --verify given')
    c = b.case(clear_registry=False)
    program = 'ppkg-verify-bench.exe'
    folder = verify_folder(b, f'verify-query-{how}', b.launcher, program)
    cases = ['powershell-absent', 'powershell-binding-error', 'powershell-runtime-failure', 'query-verdict']
    code, headers, results, closing = run_verify(b, c, os.path.join(folder, program), folder, '/only', ','.join(cases),
                                                 env=('PPKG_BENCH_RUNTIME_FAILURE=' + how,))
    del results['scratch-protected']  # Wine keeps no access lists
    expect(sorted(results), sorted(cases), 'cases')
    check(results['powershell-binding-error'].startswith(f'info: 25 bytes: {MARKER_HEX}; the marker is still there'),
          results['powershell-binding-error'])
    check(kind_of(results['query-verdict']) == kind and text in results['query-verdict'], results['query-verdict'])
    if how == 'empties':
        check('a launcher that read it could tell them apart' in results['query-verdict'], results['query-verdict'])
    expect_closing(closing, {**results, 'scratch-protected': 'cannot prepare here: '}, want_exit)
    expect(code, want_exit, 'exit code')
    expect(sorted(os.listdir(folder)), ['ppkg-launcher.exe', program], 'left in its folder')


def start_other_launcher(b):
    """A launcher run outside the kit: the stand-in as C:\\other\\ppkg-launcher.exe, idling."""
    w = b.wine
    os.makedirs(w.c('other'), exist_ok=True)
    shutil.copy(os.path.join(b.bench_dir, 'fake-launcher.exe'), w.c('other', 'ppkg-launcher.exe'))
    process = subprocess.Popen(['wine', w.win(w.c('other', 'ppkg-launcher.exe'))],
                               env=dict(w.env, PPKG_FAKE_LAUNCHER='idles'), stdin=subprocess.DEVNULL,
                               stdout=w.out, stderr=w.out)
    for _ in range(100):
        if survivors(w, ['other\\ppkg-launcher.exe']):
            return process
        time.sleep(0.1)
    stop_other_launcher(b, process)
    raise Failure('the other launcher run did not start')


def stop_other_launcher(b, process):
    for pid, _ in survivors(b.wine, ['other\\ppkg-launcher.exe']):
        os.kill(pid, signal.SIGKILL)
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()


@test('verify-system-run')
def t_verify_system_run(b):
    """The bench build goes on past the folder the shipped one refuses, to show what Wine's Task
    Scheduler answers: it cannot make a task run as the system account. No task is left."""
    if not b.verify:
        raise Skipped('no --verify given')
    c = b.case(clear_registry=False)
    program = 'ppkg-verify-bench.exe'
    folder = verify_folder(b, 'verify-system-bench', b.launcher, program)
    tasks = b.wine.c('windows', 'system32', 'tasks')
    tasks_before = sorted(os.listdir(tasks)) if os.path.isdir(tasks) else []
    code, headers, results, closing = run_verify(b, c, os.path.join(folder, program), folder, '/system')
    expect(sorted(results), ['system-run'], 'cases')
    check(results['system-run'].startswith('cannot prepare here: ') and
          "setting the task's account failed (0x80004001)" in results['system-run'],
          f'system-run: {results["system-run"]!r}')
    expect_closing(closing, results, 2)
    expect(code, 2, 'exit code')
    check(any(h.startswith('ppkg-verify: runs as ') for h in headers), f'no account line: {headers}')
    expect(sorted(os.listdir(tasks)) if os.path.isdir(tasks) else [], tasks_before, 'tasks left registered')
    expect(sorted(os.listdir(folder)), ['ppkg-launcher.exe', program], 'left in its folder')


# ---- driver --------------------------------------------------------------------------------

BENCH_EXES = ('runner.exe', 'regread.exe', 'sddlcheck.exe', 'powershell.exe', 'provtool.exe', 'decoy.exe')
VERIFY_BENCH_EXES = ('ppkg-verify-bench.exe', 'fake-launcher.exe')


def missing_inputs(launcher, bench_dir):
    """What keeps the bench from starting, or None."""
    if launcher and not os.path.isfile(launcher):
        return f'no launcher at {launcher}'
    for exe in BENCH_EXES:
        if not os.path.isfile(os.path.join(bench_dir, exe)):
            return f'{exe} missing from {bench_dir}'
    return None


def setup_prefix(wine, launcher, bench_dir):
    tools = wine.c('benchtools')
    os.makedirs(tools)
    for exe in ('runner.exe', 'regread.exe', 'sddlcheck.exe'):
        shutil.copy(os.path.join(bench_dir, exe), tools)
    os.makedirs(wine.c('bench'))
    os.makedirs(wine.c('work'))
    if launcher:
        shutil.copy(launcher, wine.c('bench', 'ppkg-launcher.exe'))
    shutil.copy(os.path.join(bench_dir, 'powershell.exe'), wine.c(*SYSTEM_POWERSHELL))
    shutil.copy(os.path.join(bench_dir, 'provtool.exe'), wine.c(*SYSTEM_PROVTOOL))
    for place in DECOYS:
        shutil.copy(os.path.join(bench_dir, 'decoy.exe'), wine.c(*place))
    with open(wine.c('work', PACKAGE_FILE), 'wb') as f:
        f.write(b'PK\x05\x06' + b'\0' * 18)


def run_case(bench, name, fn, params):
    """Runs one case; a case that failed while Wine reported errors of its own (a process it
    could not start, say) runs once more, and that run counts. A crash of a program never
    does: that is the program's fault, not Wine's."""
    wine = bench.wine
    wine.out.flush()
    since = os.path.getsize(wine.out.name)
    try:
        fn(bench, *params)
        return
    except Failure as e:
        errors = wine.errors_since(since)
        if not errors or any('Unhandled' in line or 'page fault' in line for line in errors):
            raise
        print(f'note: {name} failed ({e}) while Wine reported errors of its own; run once more', flush=True)
        for line in errors:
            print(f'    wine: {line}', flush=True)
    bench.last_case = None
    fn(bench, *params)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--launcher', help='ppkg-launcher.exe to test; without it only bench checks run')
    ap.add_argument('--bench', required=True, help='folder holding the bench exes')
    ap.add_argument('--verify', help='ppkg-verify.exe to run here against the launcher and the stand-ins')
    ap.add_argument('-k', dest='keyword', default='', help='run only tests whose name contains this')
    ap.add_argument('--keep', action='store_true', help='keep the Wine prefix for a look afterwards')
    opts = ap.parse_args()

    problem = missing_inputs(opts.launcher, opts.bench)
    if not problem and opts.verify and not os.path.isfile(opts.verify):
        problem = f'no verification program at {opts.verify}'
    if not problem and opts.verify:
        # The verification program's guards are shown with its bench build and a stand-in launcher.
        problem = next((f'{exe} missing from {opts.bench}' for exe in VERIFY_BENCH_EXES
                        if not os.path.isfile(os.path.join(opts.bench, exe))), None)
    if problem:
        sys.exit(f'e2e: {problem}')

    selected = [t for t in TESTS if opts.keyword in t[0]]
    root = tempfile.mkdtemp(prefix='ppkg-e2e-')
    wine = Wine(root)
    passed = failed = skipped = 0
    started = time.monotonic()
    try:
        try:
            wine.boot()
            setup_prefix(wine, opts.launcher, opts.bench)
        except Exception:
            failed += 1
            selected = []
            print('wine-prefix: FAIL\n' + traceback.format_exc(), flush=True)
        bench = Bench(wine, opts.launcher, opts.verify, opts.bench)
        for name, fn, params, bench_only in selected:
            if not bench_only and not bench.have_launcher:
                skipped += 1
                print(f'{name}: skipped (no launcher)', flush=True)
                continue
            t0 = time.monotonic()
            bench.last_case = None
            try:
                run_case(bench, name, fn, params)
                passed += 1
                print(f'{name}: ok ({time.monotonic() - t0:.1f}s)', flush=True)
            except Skipped as e:
                skipped += 1
                print(f'{name}: skipped ({e})', flush=True)
            except Failure as e:
                failed += 1
                print(f'{name}: FAIL: {e}', flush=True)
                if bench.last_case and bench.last_case.last_log:
                    print('    log:\n' + '\n'.join('      ' + line for line in bench.last_case.last_log))
            except Exception:
                failed += 1
                print(f'{name}: FAIL (bench error)\n' + traceback.format_exc(), flush=True)
    finally:
        wine.stop()
        if opts.keep:
            print(f'e2e: prefix kept in {root}')
        else:
            shutil.rmtree(root, ignore_errors=True)

    print(f'(ran in {time.monotonic() - started:.0f}s)')
    summary = f'e2e: {passed} passed, {failed} failed'
    if skipped:
        summary += f', {skipped} skipped'
    print(summary)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
