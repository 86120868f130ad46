#!/usr/bin/env python3
"""The launcher's own cost under Wine with the simulated store: each action (install,
/uninstall, /getstatus) timed over repeated runs against a baseline, a do-nothing program built
as the launcher is that starts the same stand-in commands in the same order; then what the
launcher's time is made of.

    python3 tests/wine/bench.py --launcher dist/ppkg-launcher.exe --bench build/windows/bench [--runs 20]

runner.exe times each start from just before CreateProcessW to the end of the wait. Every run
starts from the same store state, and the runs of a round go in a shuffled order, so that a
change in the machine's load falls on launcher and baseline alike.
"""

import argparse
import os
import random
import re
import shutil
import signal
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'exe'))
import check_exe  # noqa: E402
import e2e  # noqa: E402

ACTIONS = ('install', 'uninstall', 'status')
PROBES = ('bare', 'shell32', 'shcore', 'advapi32')
KINDS = ('split', 'tempname', 'codepage', 'reserve', 'read', 'remove', 'registry', 'report', 'flush', 'trace', 'other')
BENCH_EXES = ('baseline.exe', 'launcher-timed.exe') + tuple(f'probe-{p}.exe' for p in PROBES)
MAX_OVERHEAD = 2.0  # percent
DEEPER = 8  # levels the deep report path has below the usual one


class Bench:
    def __init__(self, wine, launcher, bench_dir):
        self.wine = w = wine
        for exe in BENCH_EXES:
            shutil.copy(os.path.join(bench_dir, exe), w.c('bench', exe))
        self.case = e2e.Bench(wine, launcher).case()
        self.store = self.case.store
        self.store.apply((e2e.ID1, '1.0.2'))
        self.report = os.path.join(self.case.dir, 'status.txt')
        # The same report DEEPER existing levels further down: what one more level of the walk costs.
        self.deep_report = os.path.join(self.case.dir, *(f'level{n}' for n in range(DEEPER)), 'status.txt')
        os.makedirs(os.path.dirname(self.deep_report))
        self.timing = os.path.join(self.case.dir, 'timing.txt')
        self.args = {'install': [], 'status': ['/getstatus', w.win(self.report)], 'uninstall': ['/uninstall'],
                     'status-deep': ['/getstatus', w.win(self.deep_report)]}
        self.replay = {a: os.path.join(self.case.dir, f'replay-{a}.txt') for a in ACTIONS}
        self.nothing = os.path.join(self.case.dir, 'replay-nothing.txt')
        open(self.nothing, 'wb').close()
        self.traced = {}

    def prepare(self, action):
        """The state every run of ACTION starts from: an install finds the store empty and
        provtool ready to apply one package; status and uninstall find that package."""
        for pid in (e2e.ID1, e2e.ID2):
            if self.store.has(pid):
                os.remove(os.path.join(self.store.path, 'packages', pid + '.txt'))
        if action in ('status', 'uninstall', 'status-deep'):
            self.store.add(e2e.ID1, '1.0.2')
        for path in (os.path.join(self.store.path, 'log.txt'), os.path.join(self.store.path, 'commands.txt'),
                     self.report, self.deep_report):
            if os.path.exists(path):
                os.remove(path)
        for name in os.listdir(self.case.tmp):  # the baseline's temp reports; the launcher deletes its own
            os.remove(os.path.join(self.case.tmp, name))

    def start(self, program, args, peak=False):
        """The runner's fields for one start: exit, elapsed_us, started_qpc, ... as numbers."""
        w, c = self.wine, self.case
        out = os.path.join(c.dir, 'exit.txt')
        if os.path.exists(out):
            os.remove(out)
        tmp = c.tmp_win.rstrip('\\')
        w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out),
              '--env', 'TMP=' + tmp, '--env', 'TEMP=' + tmp,
              '--env', 'PPKG_BENCH_STORE=' + w.win(self.store.path),
              '--env', 'PPKG_BENCH_TIMING=' + w.win(self.timing),
              '--cwd', w.win(w.c('work')), '--timeout', '60000', '--peak' if peak else '--time',
              '--', w.win(w.c('bench', program)), *args)
        text = e2e.read_text(out) if os.path.exists(out) else ''
        fields = dict(line.split('=', 1) for line in text.splitlines() if '=' in line)
        e2e.check(all(re.fullmatch(r'\d+', v) for v in fields.values()) and 'exit' in fields,
                  f'{program} {args} did not run to its end: {text!r}')
        return {k: int(v) for k, v in fields.items()}

    def run(self, who, action, peak=False):
        self.prepare(action)
        if who == 'baseline':
            return self.start('baseline.exe', [self.wine.win(self.replay[action])])
        program = 'ppkg-launcher.exe' if who == 'launcher' else 'launcher-timed.exe'
        return self.start(program, self.args[action], peak)

    def server_requests(self, who, action):
        """How many requests the program's main thread sends to the Wine server in one run,
        read from Wine's own trace: a count that no load on the machine can blur."""
        w = self.wine
        w.out.flush()
        since = os.path.getsize(w.out.name)
        quiet = w.env['WINEDEBUG']
        w.env['WINEDEBUG'] = '+server'
        try:
            self.run(who, action)
        finally:
            w.env['WINEDEBUG'] = quiet
        w.out.flush()
        with open(w.out.name, 'rb') as f:
            f.seek(since)
            lines = f.read().decode(errors='replace').splitlines()
        # The runner's first new_process starts the program; the program's first thread then
        # introduces itself with that process id.
        child = next(m.group(1) for m in (re.search(r'new_process\(\) = 0 \{.*pid=([0-9a-f]+)', l) for l in lines) if m)
        thread = next(m.group(1) for m in (re.match(rf'([0-9a-f]+): init_first_thread\(\) = 0 {{ pid={child},', l)
                                           for l in lines) if m)
        return sum(1 for l in lines if re.match(rf'{thread}: \w+\( ', l) or re.match(rf'{thread}: \w+\(\)$', l))

    def traced_commands(self):
        with open(os.path.join(self.store.path, 'commands.txt'), 'rb') as f:
            return f.read()

    def record_commands(self):
        """One launcher run per action: the tools it starts, as the stand-ins saw them, become
        the baseline's list; the baseline (and the timed launcher) must then start the same."""
        want = {'install': e2e.EXIT_PASS, 'status': 0, 'uninstall': 0}
        for action in ACTIONS:
            e2e.expect(self.run('launcher', action)['exit'], want[action], f'{action} exit')
            self.traced[action] = self.traced_commands()
            with open(self.replay[action], 'wb') as f:
                f.write(self.traced[action])
        for who in ('baseline', 'timed'):
            for action in ACTIONS:
                self.run(who, action)
                e2e.expect(self.command_lines(self.traced_commands()), self.command_lines(self.traced[action]),
                           f'commands {who} started for {action}')

    @staticmethod
    def command_lines(traced):
        # The temp report's name is drawn at random per query; the rest must be the same.
        return [re.sub(rb'3d05c[0-9a-f]+\.pkt', b'3d05c*.pkt', line) for line in traced.splitlines()]

    def count(self, action):
        return len(self.traced[action].splitlines())

    def last_timing(self):
        with open(self.timing) as f:
            line = f.read().splitlines()[-1]
        return {k: int(v) for k, v in (field.split('=') for field in line.split())}


def mib(n):
    return f'{n / (1 << 20):.1f} MiB'


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--launcher', required=True, help='ppkg-launcher.exe to measure')
    ap.add_argument('--bench', required=True, help='folder holding the bench exes')
    ap.add_argument('--runs', type=int, default=20, help='runs per action (20)')
    ap.add_argument('--seed', type=int, default=1, help='seed of the run order (1)')
    ap.add_argument('--raw', help='also write every time measured to this file')
    opts = ap.parse_args()
    problem = e2e.missing_inputs(opts.launcher, opts.bench)
    for exe in BENCH_EXES:
        if not problem and not os.path.isfile(os.path.join(opts.bench, exe)):
            problem = f'{exe} missing from {opts.bench}'
    if problem:
        sys.exit(f'bench: {problem}')

    with open(opts.launcher, 'rb') as f:
        launcher_image = f.read()
    launcher_imports = sorted(d.lower() for d in check_exe.PeImage(launcher_image).imports())
    for twin in ('baseline.exe', 'launcher-timed.exe'):
        with open(os.path.join(opts.bench, twin), 'rb') as f:
            imports = sorted(d.lower() for d in check_exe.PeImage(f.read()).imports())
        if imports != launcher_imports:
            sys.exit(f'bench: {twin} imports {imports}, the launcher {launcher_imports}: build both from one tree')

    rng = random.Random(opts.seed)
    # A round: per action a launcher run and a baseline run back to back, in either order, so
    # that their difference is taken under the same load; then the timed launcher and the probes.
    jobs = [('pair', a) for a in ACTIONS] + [('timed', a) for a in ACTIONS + ('status-deep',)]
    jobs += [('probe', p) for p in PROBES + ('twin', 'idle')]
    times = {(who, a): [] for who in ('launcher', 'baseline', 'timed') for a in ACTIONS}
    times.update({('probe', p): [] for p in PROBES + ('twin', 'idle')})
    times[('timed', 'status-deep')] = []
    diffs = {a: [] for a in ACTIONS}
    parts = {a: [] for a in ACTIONS + ('status-deep',)}
    peaks = {a: [] for a in ACTIONS}
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    root = tempfile.mkdtemp(prefix='ppkg-bench-')
    wine = e2e.Wine(root)
    started = time.monotonic()
    try:
        wine.boot()
        e2e.setup_prefix(wine, opts.launcher, opts.bench)
        b = Bench(wine, opts.launcher, opts.bench)
        b.record_commands()
        for _ in range(opts.runs):
            rng.shuffle(jobs)
            for who, what in jobs:
                if who == 'pair':
                    order = rng.sample(['launcher', 'baseline'], 2)
                    pair = {w: b.run(w, what)['elapsed_us'] / 1000 for w in order}
                    for w, ms in pair.items():
                        times[w, what].append(ms)
                    diffs[what].append(pair['launcher'] - pair['baseline'])
                elif who == 'probe':
                    if what == 'twin':
                        r = b.start('baseline.exe', [wine.win(b.nothing)])
                    elif what == 'idle':  # an empty operand: the launcher answers 1 at once
                        r = b.start('ppkg-launcher.exe', ['/getstatus', ''])
                    else:
                        r = b.start(f'probe-{what}.exe', [])
                    times[who, what].append(r['elapsed_us'] / 1000)
                else:
                    r = b.run(who, what)
                    times[who, what].append(r['elapsed_us'] / 1000)
                    t = b.last_timing()
                    hz = t['qpc_hz'] / 1000
                    parts[what].append(dict(
                        # A kind an older timed launcher does not know (flush) counts as none.
                        {k: t.get(k + '_us', 0) / 1000 for k in KINDS + ('tools',)},
                        startup=(t['entry_qpc'] - r['started_qpc']) / hz,
                        exit=(r['ended_qpc'] - t['return_qpc']) / hz))
        for _ in range(3):
            for action in ACTIONS:
                peaks[action].append(b.run('launcher', action, peak=True)['peak_bytes'])
        requests = {(who, a): b.server_requests(who, a) for who in ('launcher', 'baseline') for a in ACTIONS}
        requests['launcher', 'status-deep'] = b.server_requests('launcher', 'status-deep')
    except e2e.Failure as e:
        print(f'bench: FAILED: {e}')
        return 1
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)

    if opts.raw:
        with open(opts.raw, 'w') as f:
            for (who, what), values in sorted(times.items()):
                f.write(f'{who} {what} ' + ' '.join(f'{v:.1f}' for v in values) + '\n')
            for action, values in sorted(diffs.items()):
                f.write(f'difference {action} ' + ' '.join(f'{v:.1f}' for v in values) + '\n')

    med = {job: statistics.median(v) for job, v in times.items()}
    version = os.popen('wine --version 2>/dev/null').read().strip()
    print(f'bench: {opts.runs} runs per action, {version}; medians, the overhead from launcher and baseline '
          f'runs taken back to back')
    over = []
    for action in ACTIONS:
        l, base, d = med['launcher', action], med['baseline', action], statistics.median(diffs[action])
        ratio = d / base * 100
        if ratio > MAX_OVERHEAD:
            over.append(action)
        print(f'{action}: launcher {l:.0f} ms, baseline {base:.0f} ms, overhead {ratio:.1f}% ({d:.0f} ms), '
              f'peak {mib(max(peaks[action]))}')
    print(f'exe: {len(launcher_image)} bytes ({len(launcher_image) / 1024:.1f} KiB), imports {", ".join(launcher_imports)}')

    bare = med['probe', 'bare']
    added = ', '.join(f'{p} {med["probe", p] - bare:+.1f} ms' for p in PROBES[1:])
    print(f'start and exit of a do-nothing program: {bare:.1f} ms with kernel32 and msvcrt only; each DLL more: {added}; '
          f'the baseline with nothing to start {med["probe", "twin"]:.1f} ms, the launcher with nothing to do '
          f'(/getstatus "") {med["probe", "idle"]:.1f} ms')
    print('made of (timed launcher, medians): start until wWinMain, tool starts, own work by kind, exit after return')
    for action in ACTIONS:
        p = {k: statistics.median(run[k] for run in parts[action]) for k in parts[action][0]}
        own = ', '.join(f'{k} {p[k]:.1f}' for k in KINDS)
        print(f'  {action}: start {p["startup"]:.1f} ms, {b.count(action)} tools {p["tools"]:.0f} ms, '
              f'own work {sum(p[k] for k in KINDS):.1f} ms ({own}), exit {p["exit"]:.1f} ms; '
              f'timed launcher {med["timed", action]:.0f} ms in all')
    shallow = statistics.median(run['report'] for run in parts['status'])
    deep = statistics.median(run['report'] for run in parts['status-deep'])
    levels = len(os.path.normpath(b.report).split(os.sep)) - len(os.path.normpath(wine.c()).split(os.sep)) - 1
    per_level = (requests['launcher', 'status-deep'] - requests['launcher', 'status']) / DEEPER
    print(f'report path (timed launcher, medians of its report calls): {shallow:.2f} ms for a report in a folder '
          f'{levels} levels below C:\\, {deep:.2f} ms {DEEPER} levels deeper: {(deep - shallow) / DEEPER:.3f} ms and '
          f'{per_level:.1f} requests to the Wine server per level')
    print('requests to the Wine server from the main thread, one run each: ' + '; '.join(
        f'{a} launcher {requests["launcher", a]}, baseline {requests["baseline", a]} '
        f'({requests["launcher", a] - requests["baseline", a]:+d})' for a in ACTIONS))
    print(f'(ran in {time.monotonic() - started:.0f}s)')
    if over:
        print(f'bench: overhead above {MAX_OVERHEAD:.0f}% for {", ".join(over)}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
