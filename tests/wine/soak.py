#!/usr/bin/env python3
"""Soak under faults: one Wine prefix, N runs of install, /uninstall and /getstatus in a seeded
random order, while the stand-ins inject the faults of a seeded plan (a removal that does
nothing, a query that writes nothing or only a byte-order mark, a truncated or garbled report, an
unknown installed value, a package that vanishes or appears between two queries, a provtool that
applies nothing, a slow tool). Every run is checked against the launcher's promises; a breach is
printed with the seed and the run's index.

    python3 tests/wine/soak.py --launcher dist/ppkg-launcher.exe --bench build/windows/bench [N] [--seed S]

The same seed and N repeat the same runs, faults and store changes.
"""

import argparse
import os
import random
import re
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

IDS = {1: e2e.ID1, 2: e2e.ID2}
ACTIONS = ('install', 'uninstall', 'status')
ARGS = {'install': [], 'uninstall': ['/uninstall']}
EXITS = {'install': {e2e.EXIT_PASS, e2e.EXIT_FAIL}, 'uninstall': {0, 1}, 'status': {0, 1}}
NOT_INSTALLED = b'Not installed\n'
# What the launcher writes into its temp report before PowerShell runs; a query that leaves it
# there was never answered.
RESERVATION_MARKER = b'ppkg-launcher: reserved\r\n'
# Processes of the prefix that must have ended with the run (the runner and regread are the bench's own).
RUN_PROCESSES = ('ppkg-launcher.exe', 'powershell.exe', 'provtool.exe')

# Versions as provtool would apply them (no blanks: apply.txt is split at blanks) and as another
# administrator might leave them (any text).
APPLY_VERSIONS = ['1.0.2', '2.0.7', '10.0.1.3', '', '1.0-\u00e9', '3.1-\u0100', '0.9\u00df']
OTHER_VERSIONS = APPLY_VERSIONS + ['1.0 \u00e9 \u0100', '4.0 beta', '\u00ff']
UNKNOWN_INSTALLED = ['Pending', 'Unknown', 'Yes', '1', 'Tru', 'Falsch', 'Staged']

# The fault menu of each kind of tool start, and how often a start gets a fault.
FAULTS = {
    'query': ('silent', 'bom', 'truncate', 'garble', 'installed', 'flip', 'slow'),
    'remove': ('noop', 'slow'),
    'provtool': ('noop', 'slow'),
}
FAULT_RATE = {'query': 0.2, 'remove': 0.3, 'provtool': 0.35}
PLAN_LENGTH = 12  # more starts of each kind than any one run makes


# ---- what a report says ------------------------------------------------------------------------

INSTALLED_LABEL = 'IsInstalled     : '
MAX_VERSION_UNITS = 254


def lower_ascii(text):
    return ''.join(chr(ord(c) + 32) if 'A' <= c <= 'Z' else c for c in text)


def read_answer(data):
    """How the documented report layout reads: ('present', version), ('absent', None) or
    ('unasked', None) when no report of the cmdlet is there. The version is a string of UTF-16
    units (one character per unit) or None when the report has no "Version" label."""
    if data is None or data == RESERVATION_MARKER:
        return 'unasked', None
    if not data:
        return 'absent', None
    if data[:2] != b'\xff\xfe':
        return 'unasked', None
    text = ''.join(chr(data[i] | data[i + 1] << 8) for i in range(0, len(data) - 1, 2))
    label = text.find(INSTALLED_LABEL)
    if label < 0:
        return 'absent', None
    value = text[label + len(INSTALLED_LABEL):]
    if lower_ascii(value[:4]) != 'true' and lower_ascii(value[:5]) != 'false':
        return 'absent', None
    at = text.find('Version')
    if at < 0:
        return 'present', None
    colon = text.find(':', at)
    if colon < 0:
        return 'present', ''
    start = colon + 2
    line_feed = text.find('\n', colon + 1)
    end = len(text) if line_feed < 0 else line_feed
    if start >= end:
        return 'present', ''
    if text[end - 1] == '\r':
        end -= 1
    if end <= start or end - start > MAX_VERSION_UNITS:
        return 'present', ''
    return 'present', text[start:end]


def units_bytes(units):
    return b''.join(ord(u).to_bytes(2, 'little') for u in units)


def reg_sz(units):
    data = units_bytes(units) + b'\0\0'
    return f'type=1 size={len(data)} data={data.hex()}'


def version_line(units):
    """The documented status line for a version, or b'' for one with a unit above U+00FF."""
    if any(ord(u) > 0xFF for u in units):
        return b''
    return b'Version=' + units.encode('latin-1') + b'\n'


def show(units):
    return repr(units)


# ---- what the launcher should have done -----------------------------------------------------------

class Answer:
    def __init__(self, line):
        pid, held, written = line.split(' ', 2)
        self.id = pid
        self.held = held == 'held'
        self.bytes = None if written == '-' else bytes.fromhex(written[len('bytes:'):])
        self.kind, self.version = read_answer(self.bytes)

    @property
    def hides(self):
        """An answer of "not reported" for a package the store holds."""
        return self.held and self.kind == 'absent'


class Expected:
    """Walks the documented order of commands of one action over what the stand-ins logged and
    answered: the exit code the launcher owes and the version it was left with. A tool start
    that never reached its stand-in (the system could not start it) counts as the launcher's
    documented "could not start": a query not answered, a removal without effect, no install."""

    def __init__(self, commands, answers):
        self.actual = commands
        self.at = 0
        self.answers = answers
        self.used = 0
        self.commands = []   # the documented order, every start in it
        self.missing = []    # starts of that order that never reached a stand-in
        self.version = ''
        self.last = {}       # id -> its last answer

    def started(self, command):
        self.commands.append(command)
        if self.at < len(self.actual) and self.actual[self.at] == command:
            self.at += 1
            return True
        self.missing.append(command)
        return False

    def query(self, n):
        if not self.started(f'q{n}') or self.used >= len(self.answers):
            return 'unasked'
        answer = self.answers[self.used]
        self.used += 1
        self.last[IDS[n]] = answer
        if answer.kind == 'present' and answer.version is not None:
            self.version = answer.version
        return answer.kind

    @property
    def consistent(self):
        """Every logged command and answer found its place in the documented order."""
        return (self.at == len(self.actual) and self.used == len(self.answers)
                and all(a.id == IDS[int(c[1])] for a, c in zip(self.answers, (c for c in self.actual if c[0] == 'q'))))

    def remove_all(self):
        gone = True
        for n in (1, 2):
            self.started(f'rm{n}')
            if self.query(n) != 'absent':
                gone = False
        return gone

    def any_reported(self):
        return any(self.query(n) == 'present' for n in (1, 2))

    def install(self):
        self.removed = self.remove_all()
        if self.any_reported():
            return e2e.EXIT_PASS
        if not self.started('prov'):
            return e2e.EXIT_FAIL
        return e2e.EXIT_PASS if self.any_reported() else e2e.EXIT_FAIL

    def uninstall(self):
        self.removed = self.remove_all()
        return 0 if self.removed else 1

    def status(self):
        """The exit code and the report (None: no file written)."""
        if not self.any_reported():
            return 1, NOT_INSTALLED
        if not self.any_reported():
            return 1, None
        return 0, version_line(self.version.split('\0')[0])


# ---- the soak ---------------------------------------------------------------------------------------

def plan_line(rng, kind):
    if rng.random() >= FAULT_RATE[kind]:
        return '-'
    fault = rng.choice(FAULTS[kind])
    if fault == 'slow':
        return f'slow {rng.randrange(20, 300)}'
    if fault == 'truncate':
        return f'truncate {rng.randrange(1000)}'
    if fault == 'garble':
        return f'garble {rng.randrange(1, 2 ** 31)}'
    if fault == 'installed':
        return f'installed {rng.choice(UNKNOWN_INSTALLED)}'
    if fault == 'flip':
        version = rng.choice(OTHER_VERSIONS)
        return f'flip x{version.encode().hex()} {rng.choice(["True", "False"])}'
    return fault


class Soak:
    def __init__(self, wine, launcher, seed):
        self.wine = wine
        self.rng = random.Random(seed)
        self.seed = seed
        self.case = e2e.Bench(wine, launcher).case()
        self.store = self.case.store
        self.faults_dir = os.path.join(self.store.path, 'faults')
        os.makedirs(self.faults_dir)
        self.report = os.path.join(self.case.dir, 'status.txt')
        self.record = self.case.registry()
        self.counts = dict.fromkeys(ACTIONS, 0)
        self.faults = 0
        self.breaches = 0
        # Answers of "not reported" for a package the store held: a cmdlet that fails writes
        # the same bytes as one that finds nothing, so the launcher cannot tell them apart.
        self.hiding_answers = 0
        self.hidden_uninstalls = 0
        self.unstarted = 0

    # -- the store -----------------------------------------------------------------------------

    def package_path(self, pid):
        return os.path.join(self.store.path, 'packages', pid + '.txt')

    def held(self):
        return [pid for pid in IDS.values() if self.store.has(pid)]

    def package(self, pid):
        with open(self.package_path(pid), encoding='utf-8') as f:
            return dict(line.split('=', 1) for line in f.read().splitlines() if '=' in line)

    def change_store(self, action):
        """Between runs the store changes as it would under other hands: what provtool would
        apply, and now and then a package that cannot be removed or one that is left behind."""
        rng = self.rng
        if action == 'install':
            entries = rng.choice([[1], [2], [1, 2], [1], []])
            self.store.apply(*[(IDS[n], rng.choice(APPLY_VERSIONS), rng.choice(['True', 'True', 'False']))
                               for n in entries])
        for pid in self.held():
            if rng.random() < 0.08:
                p = self.package(pid)
                self.store.add(pid, p.get('version', ''), p.get('installed', 'True'),
                               removable=p.get('removable') == 'no')
        if rng.random() < 0.05:
            self.store.add(IDS[rng.choice((1, 2))], rng.choice(OTHER_VERSIONS), rng.choice(['True', 'False']))

    def write_plan(self):
        for kind in FAULTS:
            with open(os.path.join(self.faults_dir, kind + '.txt'), 'w') as f:
                f.write(''.join(plan_line(self.rng, kind) + '\n' for _ in range(PLAN_LENGTH)))

    def reset_logs(self):
        for path in (os.path.join(self.store.path, 'log.txt'), os.path.join(self.store.path, 'commands.txt'),
                     os.path.join(self.faults_dir, 'applied.txt'), os.path.join(self.faults_dir, 'answers.txt'),
                     self.report):
            if os.path.exists(path):
                os.remove(path)

    def lines(self, name):
        path = os.path.join(self.faults_dir, name)
        if not os.path.exists(path):
            return []
        with open(path, encoding='utf-8') as f:
            return f.read().splitlines()

    # -- one run -------------------------------------------------------------------------------

    def launch(self, args):
        """Runs the launcher through the bench's runner: its full exit code, or the runner's
        complaint (a time-out, a start that failed) as text."""
        w, c = self.wine, self.case
        out = os.path.join(c.dir, 'exit.txt')
        if os.path.exists(out):
            os.remove(out)
        tmp = c.tmp_win.rstrip('\\')
        w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out),
              '--env', 'TMP=' + tmp, '--env', 'TEMP=' + tmp,
              '--env', 'PPKG_BENCH_STORE=' + w.win(self.store.path),
              '--cwd', w.win(w.c('work')), '--timeout', '60000',
              '--', w.win(w.c('bench', 'ppkg-launcher.exe')), *args)
        text = e2e.read_text(out) if os.path.exists(out) else 'runner wrote nothing'
        m = re.fullmatch(r'exit=(\d+)', text)
        return int(m.group(1)) if m else text

    def survivors(self):
        """Processes of this prefix that a run started and that are still there."""
        return e2e.survivors(self.wine, RUN_PROCESSES)

    def run_one(self, index):
        rng = self.rng
        action = rng.choice(ACTIONS)
        self.counts[action] += 1
        self.change_store(action)
        self.write_plan()
        self.reset_logs()
        before = self.record
        args = ARGS.get(action, ['/getstatus', self.wine.win(self.report)])

        output_before = os.path.getsize(self.wine.out.name)
        code = self.launch(args)
        for _ in range(2):
            # Wine itself now and then fails a process start (the new process cannot map its
            # shared page); the launcher then never ran, nothing was touched, so run it again.
            if not (isinstance(code, str) and code.startswith('exit=start-failed')):
                break
            self.unstarted += 1
            print(f'note: seed {self.seed} run {index} ({action}): the launcher could not be started '
                  f'({code}); started again', flush=True)
            for line in self.wine.errors_since(output_before):
                print(f'    wine: {line}', flush=True)
            code = self.launch(args)
        problems = []

        def breach(message):
            problems.append(message)

        # Leftovers first, so that the checks below see the state the run left.
        survivors = self.survivors()
        deadline = time.monotonic() + 3
        while survivors and time.monotonic() < deadline:
            time.sleep(0.1)
            survivors = self.survivors()
        for pid, cmd in survivors:
            breach(f'process outlived its run: {cmd}')
            try:
                os.kill(pid, 9)
            except OSError:
                pass
        left = sorted(n for n in os.listdir(self.case.tmp) if n.lower().endswith('.pkt') or n.lower().startswith('norv'))
        if left:
            breach(f'temp report files left behind: {left}')
            for n in left:
                os.remove(os.path.join(self.case.tmp, n))

        answers = [Answer(line) for line in self.lines('answers.txt')]
        self.hiding_answers += sum(a.hides for a in answers)
        self.faults += len(self.lines('applied.txt'))
        commands = [self.case.classify(line) for line in self.store.log()]
        self.record = after = self.case.registry()
        held = self.held()

        expected = Expected(commands, answers)
        if not isinstance(code, int):
            breach(f'launcher did not run to its end: {code}')
        elif code not in EXITS[action]:
            breach(f'exit code {code:#x} is none of the documented ones')

        if action == 'install':
            want = expected.install()
            if code == e2e.EXIT_PASS:
                if not held:
                    breach('install passed but the store holds no package')
            # The record holds the version of the last report that named one; with none, no record
            # is written, and one that the removal did not delete stays as it was.
            if code == e2e.EXIT_PASS and expected.version.split('\0')[0]:
                want_record = reg_sz(expected.version.split('\0')[0])
            else:
                want_record = 'absent-key' if expected.removed else before
            if code in EXITS[action] and after != want_record:
                breach(f'record after {"PASS" if code == e2e.EXIT_PASS else "FAIL"}: {after}, want {want_record}'
                       f' (version reported {show(expected.version)}, before {before})')
        elif action == 'uninstall':
            want = expected.uninstall()
            if code == 0:
                if after != 'absent-key':
                    breach(f'uninstall exited 0 but the record is {after}')
                for pid in held:
                    last = expected.last.get(pid)
                    if not (last and last.hides):
                        breach(f'uninstall exited 0 but the store holds {pid}')
                if held:
                    self.hidden_uninstalls += 1
            elif code == 1 and after != before:
                breach(f'uninstall exited 1 but the record changed: {before} -> {after}')
        else:
            want, want_report = expected.status()
            report = e2e.read_bytes(self.report)
            documented = (report == NOT_INSTALLED or report == b''
                          or (report is not None and re.fullmatch(rb'Version=[^\n]*\n', report)))
            if report is not None and not documented:
                breach(f'report is none of the documented texts: {report!r}')
            if code == 0 and (report is None or report == NOT_INSTALLED):
                breach(f'status exited 0 with the report {report!r}')
            if code == 1 and report not in (None, NOT_INSTALLED):
                breach(f'status exited 1 with the report {report!r}')
            if code in EXITS[action] and report != want_report:
                breach(f'report {report!r}, want {want_report!r}')
            if after != before:
                breach(f'status changed the record: {before} -> {after}')

        # The launcher's decisions follow the store's answers, in the documented order.
        answered = [(a.id[:8], a.kind, a.version) for a in answers]
        if not expected.consistent:
            breach(f'commands {commands}, want {expected.commands} for the answers {answered}')
        elif isinstance(code, int) and code in EXITS[action] and code != want:
            breach(f'exit code {code:#x}, want {want:#x} for the answers {answered}')
        for command in expected.missing:
            self.unstarted += 1
            print(f'note: seed {self.seed} run {index} ({action}): {command} never reached its stand-in; '
                  f'taken as a start that failed', flush=True)
        if expected.missing:
            for line in self.wine.errors_since(output_before):
                print(f'    wine: {line}', flush=True)

        for message in problems:
            self.breaches += 1
            print(f'breach: seed {self.seed} run {index} ({action}): {message}', flush=True)
            for line in self.lines('applied.txt'):
                print(f'    fault: {line}', flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('runs', nargs='?', type=int, default=500, help='number of runs (500)')
    ap.add_argument('--seed', type=int, help='seed of the run order, faults and store changes (random)')
    ap.add_argument('--launcher', required=True, help='ppkg-launcher.exe to soak')
    ap.add_argument('--bench', required=True, help='folder holding the bench exes')
    ap.add_argument('--keep', action='store_true', help='keep the Wine prefix for a look afterwards')
    opts = ap.parse_args()
    problem = e2e.missing_inputs(opts.launcher, opts.bench)
    if problem:
        sys.exit(f'soak: {problem}')
    seed = opts.seed if opts.seed is not None else random.SystemRandom().randrange(1, 10 ** 6)
    print(f'soak: seed {seed}, {opts.runs} runs (repeat with --seed {seed} {opts.runs})', flush=True)

    # A stop from outside still shuts the prefix's Wine server down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    root = tempfile.mkdtemp(prefix='ppkg-soak-')
    wine = e2e.Wine(root)
    # Wine's errors stay on, so that a tool start that fails can say why.
    wine.env['WINEDEBUG'] = 'err+all,fixme-all'
    started = time.monotonic()
    try:
        wine.boot()
        e2e.setup_prefix(wine, opts.launcher, opts.bench)
        soak = Soak(wine, opts.launcher, seed)
        for index in range(opts.runs):
            soak.run_one(index)
    finally:
        wine.stop()
        if opts.keep:
            print(f'soak: prefix kept in {root}')
        else:
            shutil.rmtree(root, ignore_errors=True)

    c = soak.counts
    print(f'(ran in {time.monotonic() - started:.0f}s; {soak.hiding_answers} answers said "not reported" for a '
          f'package the store held, {soak.hidden_uninstalls} /uninstall runs exited 0 over one; '
          f'{soak.unstarted} starts never arrived, which Wine does now and then)')
    print(f'soak: {opts.runs} runs (install {c["install"]}, uninstall {c["uninstall"]}, status {c["status"]}), '
          f'{soak.faults} faults injected, {soak.breaches} breaches')
    return 1 if soak.breaches else 0


if __name__ == '__main__':
    sys.exit(main())
