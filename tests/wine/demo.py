#!/usr/bin/env python3
"""Shows the launcher at work under Wine, step by step: install, /getstatus, /uninstall and
/getstatus again, against the same stand-ins and simulated provisioning store as the e2e bench.

    python3 tests/wine/demo.py --launcher dist/ppkg-launcher.exe --bench build/windows/bench
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

STATUS_PATH = r'C:\work\status.txt'
INSTALL_EXITS = {e2e.EXIT_PASS: 'ExitPass', e2e.EXIT_FAIL: 'ExitFail'}
OTHER_EXITS = {0: 'success', 1: 'failure'}


def step(n, title):
    print(f'\n== {n}. {title}', flush=True)


def say(text='', indent=3):
    for line in (text.splitlines() or ['']):
        print(' ' * indent + line, flush=True)


def exit_line(code, names):
    return f'exit code 0x{code:08X} = {code} ({names.get(code, "unexpected")})'


class Demo:
    def __init__(self, wine, launcher):
        self.wine = wine
        self.case = e2e.Bench(wine, launcher).case()
        self.seen = 0  # log lines already shown

    def run(self, args, names):
        shown = ' '.join(f'"{a}"' if ' ' in a or not a else a for a in args)
        say(f'> C:\\bench\\ppkg-launcher.exe {shown}'.rstrip())
        code, _ = self.case.run(args)
        say(exit_line(code, names))
        log = self.case.last_log
        say('commands the launcher ran (stand-ins\' log):')
        for line in log[self.seen:] or ['(none)']:
            say(line, indent=5)
        self.seen = len(log)
        return code

    def packages(self):
        folder = os.path.join(self.case.store.path, 'packages')
        found = []
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), encoding='utf-8') as f:
                fields = dict(line.split('=', 1) for line in f.read().splitlines() if '=' in line)
            found.append(f'{name[:-4]} version {fields.get("version", "?")}')
        say('packages in the store: ' + (', '.join(found) or 'none'))

    def registry(self):
        out = os.path.join(self.case.dir, 'reg-query.txt')
        with open(out, 'wb') as f:
            rc = subprocess.run(['wine', 'reg', 'query', e2e.KEY, '/v', 'Version', '/reg:64'], env=self.wine.env,
                                stdin=subprocess.DEVNULL, stdout=f, stderr=f, timeout=60).returncode
        with open(out, 'rb') as f:
            text = f.read().decode('utf-8', errors='replace').replace('\r\n', '\n').strip('\n')
        say(f'wine reg query "{e2e.KEY}" /v Version /reg:64  -> exit {rc}')
        say(text or '(no output)', indent=5)
        say(f'regread (RegQueryValueExW, 64-bit view): {self.case.registry()}')

    def report(self):
        data = e2e.read_bytes(self.wine.c('work', 'status.txt'))
        if data is None:
            say(f'{STATUS_PATH}: no file')
            return
        say(f'{STATUS_PATH}: {len(data)} bytes')
        say('hex:  ' + (data.hex(' ') or '(empty)'), indent=5)
        say('text: ' + repr(data.decode('latin-1')), indent=5)


def show(wine, launcher):
    d = Demo(wine, launcher)

    step(2, 'The simulated provisioning store starts empty')
    d.packages()
    d.case.store.apply((e2e.ID1, '1.0.2'))
    say(f'C:\\work\\{e2e.PACKAGE_FILE}, applied by provtool.exe, installs {e2e.ID1} version 1.0.2')
    d.registry()

    step(3, 'Install (no arguments)')
    d.run([], INSTALL_EXITS)
    d.packages()
    d.registry()

    step(4, f'/getstatus {STATUS_PATH}')
    d.run(['/getstatus', STATUS_PATH], OTHER_EXITS)
    d.report()

    step(5, '/uninstall')
    d.run(['/uninstall'], OTHER_EXITS)
    d.packages()
    d.registry()

    step(6, f'/getstatus {STATUS_PATH} again')
    d.run(['/getstatus', STATUS_PATH], OTHER_EXITS)
    d.report()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--launcher', required=True, help='ppkg-launcher.exe to show')
    ap.add_argument('--bench', required=True, help='folder holding the bench exes')
    opts = ap.parse_args()
    problem = e2e.missing_inputs(opts.launcher, opts.bench)
    if problem:
        sys.exit(f'demo: {problem}')

    root = tempfile.mkdtemp(prefix='ppkg-demo-')
    wine = e2e.Wine(root)
    started = time.monotonic()
    try:
        step(1, 'Boot a fresh Wine prefix')
        wine.boot()
        e2e.setup_prefix(wine, opts.launcher, opts.bench)
        say(f'prefix {wine.prefix} ready in {time.monotonic() - started:.1f}s')
        say(r'launcher C:\bench\ppkg-launcher.exe, started by runner.exe (which sees the full exit code)')
        say(r'working directory C:\work')
        say(r'stand-ins C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe and '
            r'C:\windows\system32\provtool.exe log every command line')
        show(wine, opts.launcher)
    except e2e.Failure as e:
        print(f'\ndemo: FAILED: {e}')
        return 1
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)
    print(f'\n(demo ran in {time.monotonic() - started:.0f}s)')
    return 0


if __name__ == '__main__':
    sys.exit(main())
