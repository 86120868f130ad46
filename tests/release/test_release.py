#!/usr/bin/env python3
"""Release checks: two releases from clean exports (one unsigned, one signed with a throwaway
certificate made here), compared with each other and with what the code defines; the signing
script's refusals; and, under Wine, the signed exe and install.cmd at work.

    python3 tests/release/test_release.py --bench build/windows/bench [-k TEXT]

Needs git, g++, mingw-w64, osslsigncode, openssl and Wine (scripts/deps.sh installs them).
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'wine'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'exe'))
sys.path.insert(0, os.path.join(ROOT, 'release'))
import check_exe  # noqa: E402
import e2e  # noqa: E402
import release as release_script  # noqa: E402

EXE = 'ppkg-launcher.exe'
FILES = {EXE, 'DEPLOY.md', 'install.cmd', 'intune-win32app.json', 'SHA256SUMS'}
PASSWORD_ENV = 'PPKG_TEST_PFX_PASSWORD'
PASSWORD = 'correct horse'
NAME = 'Test CML package'
PACKAGE_VERSION = '1.0.2'
# The signed exe under Wine: an install, a report and an uninstall are enough to show that
# signing changed nothing the launcher does.
E2E_CASES = ['install-applies[id1]', 'getstatus-report[id1]', 'uninstall[both-removed]']
# Where Windows keeps PowerShell, inside the prefix.
SYSTEM_POWERSHELL = ('windows', 'system32', 'WindowsPowerShell', 'v1.0', 'powershell.exe')


class Failure(Exception):
    pass


def check(cond, msg):
    if not cond:
        raise Failure(msg)


def expect(got, want, what):
    check(got == want, f'{what}: got {got!r}, want {want!r}')


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


def read(path, mode='rb'):
    with open(path, mode) as f:
        return f.read()


def run(argv, env=None, cwd=None):
    return subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


# ---- fixtures --------------------------------------------------------------------------------

def make_certificates(d):
    """A throwaway CA, a code-signing certificate and a TLS server certificate it issued, and a
    self-signed code-signing certificate that no CA vouches for; all as password-protected
    .pfx files, the issued ones with the CA inside."""
    def openssl(*args):
        r = run(['openssl', *args], env=dict(os.environ, **{PASSWORD_ENV: PASSWORD}), cwd=d)
        check(r.returncode == 0, f'openssl {args[0]}: {r.stderr.strip()}')

    openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2',
            '-subj', '/CN=ppkg test CA', '-addext', 'basicConstraints=critical,CA:TRUE',
            '-addext', 'keyUsage=critical,keyCertSign,cRLSign')
    for leaf, usage in (('signer', 'codeSigning'), ('server', 'serverAuth')):
        with open(os.path.join(d, leaf + '.ext'), 'w') as f:
            f.write(f'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n')
        openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', leaf + '.key', '-out', leaf + '.csr',
                '-subj', f'/CN=ppkg test {leaf}')
        openssl('x509', '-req', '-in', leaf + '.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial',
                '-out', leaf + '.pem', '-days', '2', '-extfile', leaf + '.ext')
        openssl('pkcs12', '-export', '-inkey', leaf + '.key', '-in', leaf + '.pem', '-certfile', 'ca.pem',
                '-out', leaf + '.pfx', '-passout', 'env:' + PASSWORD_ENV)
    openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'self.key', '-out', 'self.pem', '-days', '2',
            '-subj', '/CN=ppkg test self-signed', '-addext', 'extendedKeyUsage=codeSigning')
    openssl('pkcs12', '-export', '-inkey', 'self.key', '-in', 'self.pem', '-out', 'self.pfx',
            '-passout', 'env:' + PASSWORD_ENV)
    return {name: os.path.join(d, name) for name in ('ca.pem', 'signer.pfx', 'server.pfx', 'self.pfx')}


def release(out, *extra):
    """Runs scripts/release; returns (its output, the unsigned hash it printed, the folder)."""
    env = dict(os.environ, **{PASSWORD_ENV: PASSWORD})
    r = run([os.path.join(ROOT, 'scripts', 'release'), '--out', out, '--name', NAME,
             '--package-version', PACKAGE_VERSION, *extra], env=env)
    check(r.returncode == 0, f'scripts/release failed:\n{r.stdout}{r.stderr}')
    m = re.search(r'unsigned exe SHA-256 ([0-9a-f]{64})', r.stdout)
    check(m, f'no unsigned hash in:\n{r.stdout}')
    folders = [n for n in os.listdir(out) if os.path.isdir(os.path.join(out, n))]
    expect(len(folders), 1, f'release folders in {out}')
    return r.stdout, m.group(1), os.path.join(out, folders[0])


def definitions(work):
    """The values the code defines: the release's definitions program, built here from this
    tree's headers and the version header of the in-tree windows build."""
    return release_script.read_definitions(ROOT, work, os.path.join(work, 'definitions.log'))


class State:
    """What the checks share: built once, read by many."""


# ---- checks ----------------------------------------------------------------------------------

CHECKS = []


def step(name):
    def register(fn):
        CHECKS.append((name, fn))
        return fn
    return register


@step('release-unsigned')
def t_release_unsigned(s):
    s.unsigned_out, s.unsigned_hash, s.unsigned = release(os.path.join(s.tmp, 'unsigned'))
    check('is UNSIGNED' in s.unsigned_out, f'the release does not say it is unsigned:\n{s.unsigned_out}')


@step('release-signed')
def t_release_signed(s):
    s.signed_out, s.signed_hash, s.signed = release(os.path.join(s.tmp, 'signed'), '--pfx', s.certs['signer.pfx'],
                                                    '--password-env', PASSWORD_ENV)
    check('is SIGNED' in s.signed_out, f'the release does not say it is signed:\n{s.signed_out}')


@step('reproducible-build')
def t_reproducible(s):
    # Two clean exports built in two different temp folders, minutes apart.
    expect(s.signed_hash, s.unsigned_hash, 'unsigned exe SHA-256 of the second build')
    expect(sha256(os.path.join(s.unsigned, EXE)), s.unsigned_hash, 'hash of the released unsigned exe')


@step('folder-and-zip')
def t_folder_and_zip(s):
    for folder in (s.unsigned, s.signed):
        expect(set(os.listdir(folder)), FILES, f'files in {os.path.basename(folder)}')
        sums = read(os.path.join(folder, 'SHA256SUMS'), 'r').splitlines()
        expect(sorted(line.split('  ', 1)[1] for line in sums), sorted(FILES - {'SHA256SUMS'}), 'files in SHA256SUMS')
        r = run(['sha256sum', '--strict', '-c', 'SHA256SUMS'], cwd=folder)
        check(r.returncode == 0, f'sha256sum -c: {r.stdout}{r.stderr}')
    zips = []
    for folder in (s.unsigned, s.signed):
        with zipfile.ZipFile(folder + '.zip') as z:
            infos = {i.filename: (i.date_time, i.external_attr, z.read(i)) for i in z.infolist()}
        base = os.path.basename(folder)
        expect(sorted(infos), sorted(f'{base}/{n}' for n in FILES), 'zip entries')
        for name in FILES:
            expect(infos[f'{base}/{name}'][2], read(os.path.join(folder, name)), f'{name} in the zip')
        zips.append(infos)
    # Built minutes apart, yet every entry other than the signed exe and its checksum line is
    # the same to the byte, with the same time and mode: nothing of the moment gets in.
    for name in FILES - {EXE, 'SHA256SUMS'}:
        entry = f'{os.path.basename(s.unsigned)}/{name}'
        expect(zips[1][entry], zips[0][entry], f'{name} entry across the two releases')


@step('definitions-match-code')
def t_definitions(s):
    d = s.defs
    app = json.loads(read(os.path.join(s.unsigned, 'intune-win32app.json'), 'r'))
    expect(app['@odata.type'], '#microsoft.graph.win32LobApp', 'type')
    expect((app['displayName'], app['installCommandLine'], app['uninstallCommandLine']),
           (NAME, EXE, f'{EXE} /uninstall'), 'name and commands')
    expect((app['applicableArchitectures'], app['installExperience']['runAsAccount']), ('x64', 'system'),
           'architecture and account')
    codes = {c['returnCode']: c['type'] for c in app['returnCodes']}
    # One table for install and uninstall: both successes are successes, both failures are not.
    expect((codes.get(d['exitPass']), codes.get(d['exitSuccess'])), ('success', 'success'), 'success codes')
    check(codes.get(d['exitFail']) != 'success' and codes.get(d['exitFailure']) != 'success',
          f'a failure code is listed as success: {codes}')
    [rule] = app['rules']
    expect((rule['@odata.type'], rule['ruleType'], rule['keyPath'], rule['valueName'], rule['check32BitOn64System'],
            rule['operationType'], rule['operator'], rule['comparisonValue']),
           ('#microsoft.graph.win32LobAppRegistryRule', 'detection', d['registryKey'], d['registryValue'], False,
            'string', 'equal', PACKAGE_VERSION), 'detection rule')

    cmd = read(os.path.join(s.unsigned, 'install.cmd'), 'r')
    check(f'if "%code%"=="{d["exitPass"]}" exit /b 0' in cmd, 'install.cmd does not map PASS to 0')
    check(f'if "%code%"=="{d["exitFail"]}" exit /b 1603' in cmd, 'install.cmd does not map FAIL to 1603')

    doc = read(os.path.join(ROOT, 'DEPLOY.md'), 'r')
    expect(read(os.path.join(s.unsigned, 'DEPLOY.md'), 'r'), doc, 'released DEPLOY.md')
    wanted = ([str(d['exitPass']), str(d['exitFail']), d['registryKey'], f'value `{d["registryValue"]}`',
               d['installCommand']] + d['packageIds'] + d['removalCommands'] + d['queryCommands'])
    missing = [w for w in wanted if w not in doc]
    check(not missing, f'DEPLOY.md lacks what the code defines: {missing}')


@step('version-from-exe')
def t_version(s):
    for folder in (s.unsigned, s.signed):
        info = check_exe.PeImage(read(os.path.join(folder, EXE))).version_info()
        check(info, 'no version resource')
        version = info[2]['ProductVersion']
        expect(info[0], version + '.0', 'fixed file version')
        expect(version, s.defs['version'], 'version the definitions are built with')
        expect(os.path.basename(folder), f'ppkg-launcher-{version}', 'folder name')
        check(os.path.isfile(folder + '.zip'), f'no {folder}.zip')
        app = json.loads(read(os.path.join(folder, 'intune-win32app.json'), 'r'))
        check(f'ppkg-launcher {version}' in app['description'], f'the definition names another version: {app}')
        check(f'ppkg-launcher {version}' in read(os.path.join(folder, 'install.cmd'), 'r'), 'install.cmd version')


@step('signature-verifies')
def t_signature(s):
    signed = os.path.join(s.signed, EXE)
    r = run(['osslsigncode', 'verify', '-CAfile', s.certs['ca.pem'], '-ignore-crl', '-in', signed])
    check(r.returncode == 0, f'does not verify against the test CA:\n{r.stdout[-800:]}')
    stripped = os.path.join(s.tmp, 'stripped.exe')
    r = run(['osslsigncode', 'remove-signature', '-in', signed, '-out', stripped])
    check(r.returncode == 0, f'remove-signature: {r.stderr}')
    # Signing never moves the pinned hash: the unsigned bytes come back exactly.
    expect(read(stripped), read(os.path.join(s.unsigned, EXE)), 'bytes after remove-signature')


@step('signed-exe-checks')
def t_signed_exe_checks(s):
    signed, unsigned = (check_exe.PeImage(read(os.path.join(f, EXE))) for f in (s.signed, s.unsigned))
    check(signed.certificate_table() and not unsigned.certificate_table(), 'certificate table where expected')
    # Whatever the exe imports, signing must not change it.
    expect((signed.imports(), signed.subsystem, signed.resource_types(), signed.version_info()),
           (unsigned.imports(), unsigned.subsystem, unsigned.resource_types(), unsigned.version_info()),
           'imports, subsystem, resources and version after signing')
    r = run([sys.executable, os.path.join(ROOT, 'tests', 'exe', 'check_exe.py'), os.path.join(s.signed, EXE)])
    check(r.returncode == 0, f'check_exe on the signed exe:\n{r.stdout}')


SIGN_REFUSALS = [
    # (label, .pfx, password in the environment or None for unset, what the message must say)
    ('wrong-password', 'signer.pfx', 'not the password', 'wrong password'),
    ('not-code-signing', 'server.pfx', PASSWORD, 'not for code signing'),
    ('password-variable-unset', 'signer.pfx', None, f'{PASSWORD_ENV} is not set'),
    ('not-a-pfx', 'ca.pem', PASSWORD, 'cannot read'),
    # Signed, but the copy does not verify: it must never replace the exe.
    ('chain-not-trusted', 'self.pfx', PASSWORD, 'does not verify'),
]


@step('sign-refusals')
def t_sign_refusals(s):
    original = read(os.path.join(s.unsigned, EXE))
    for label, pfx, password, message in SIGN_REFUSALS:
        d = os.path.join(s.tmp, 'refusal-' + label)
        os.makedirs(d)
        target = os.path.join(d, EXE)
        shutil.copyfile(os.path.join(s.unsigned, EXE), target)
        env = dict(os.environ)
        env.pop(PASSWORD_ENV, None)
        if password is not None:
            env[PASSWORD_ENV] = password
        r = run([os.path.join(ROOT, 'scripts', 'sign'), '--pfx', s.certs[pfx], '--password-env', PASSWORD_ENV, target],
                env=env)
        check(r.returncode != 0, f'{label}: signing succeeded')
        check(message in r.stderr, f'{label}: message {r.stderr.strip()!r} does not say {message!r}')
        check(PASSWORD not in r.stdout + r.stderr, f'{label}: the password was printed')
        expect(read(target), original, f'{label}: the exe after a refused signing')
        expect(os.listdir(d), [EXE], f'{label}: files left beside the exe')


@step('sign-in-place')
def t_sign_in_place(s):
    # The plain scripts/sign path, without the release around it.
    target = os.path.join(s.tmp, 'in-place', EXE)
    os.makedirs(os.path.dirname(target))
    shutil.copyfile(os.path.join(s.unsigned, EXE), target)
    r = run([os.path.join(ROOT, 'scripts', 'sign'), '--pfx', s.certs['signer.pfx'], '--password-env', PASSWORD_ENV,
             target], env=dict(os.environ, **{PASSWORD_ENV: PASSWORD}))
    check(r.returncode == 0, f'scripts/sign: {r.stderr}')
    check(check_exe.PeImage(read(target)).certificate_table(), 'no signature after scripts/sign')
    expect(os.listdir(os.path.dirname(target)), [EXE], 'files left beside the exe')


# ---- under Wine ------------------------------------------------------------------------------

def wine_checks(s, keyword):
    """The signed exe through the bench's own cases, then install.cmd through cmd.exe."""
    results = []
    root = tempfile.mkdtemp(prefix='ppkg-release-wine-')
    wine = e2e.Wine(root)
    try:
        wine.boot()
        signed_exe = os.path.join(s.signed, EXE)
        e2e.setup_prefix(wine, signed_exe, s.bench)
        # Where a launcher that starts PowerShell by its full path finds it; the bench's setup
        # may already have put the stand-in there.
        standin = wine.c(*SYSTEM_POWERSHELL)
        os.makedirs(os.path.dirname(standin), exist_ok=True)
        shutil.copyfile(os.path.join(s.bench, 'powershell.exe'), standin)
        bench = e2e.Bench(wine, signed_exe)
        known = {name: (fn, params) for name, fn, params, _ in e2e.TESTS}
        for name in E2E_CASES:
            label = 'signed-exe-e2e ' + name
            if keyword not in label:
                continue
            def case(name=name):
                check(name in known, f'the bench has no case {name}')
                fn, params = known[name]
                fn(bench, *params)
            results.append(attempt(label, case))
        for label, fn in INSTALL_CMD_CASES:
            if keyword in label:
                results.append(attempt(label, lambda fn=fn: fn(s, bench)))
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)
    return results


def install_cmd_folder(s, bench, name, launcher):
    """A copy of the signed release inside the prefix, in a folder with a blank, holding the
    package file and LAUNCHER (or no exe at all) as ppkg-launcher.exe."""
    folder = bench.wine.c('rel ease', name)
    shutil.copytree(s.signed, folder)
    os.remove(os.path.join(folder, EXE))
    if launcher:
        shutil.copyfile(launcher, os.path.join(folder, EXE))
    with open(os.path.join(folder, e2e.PACKAGE_FILE), 'wb') as f:
        f.write(b'PK\x05\x06' + b'\0' * 18)
    return folder


def run_install_cmd(bench, case, folder):
    """install.cmd through the prefix's cmd.exe, started elsewhere, as a deployment system would."""
    w = bench.wine
    out = os.path.join(case.dir, 'exit.txt')
    tmp = case.tmp_win.rstrip('\\')
    w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out), '--env', 'TMP=' + tmp, '--env', 'TEMP=' + tmp,
          '--env', 'PPKG_BENCH_STORE=' + w.win(case.store.path), '--cwd', 'C:\\', '--timeout', '60000',
          '--', r'C:\windows\system32\cmd.exe', '/c', w.win(os.path.join(folder, 'install.cmd')))
    check(os.path.exists(out), 'runner wrote no exit code')
    m = re.fullmatch(r'exit=(\d+)', read(out, 'r').strip())
    check(m, f'cmd.exe did not run to the end: {read(out, "r")!r}')
    return int(m.group(1))


def registry_value(bench, case, d):
    w = bench.wine
    out = os.path.join(case.dir, 'reg.txt')
    w.run(w.win(w.c('benchtools', 'regread.exe')), w.win(out), d['registryKey'].split('\\', 1)[1], d['registryValue'])
    return read(out, 'r').strip()


def t_install_cmd_pass(s, bench):
    folder = install_cmd_folder(s, bench, 'pass', os.path.join(s.signed, EXE))
    c = bench.case()
    c.store.apply((e2e.ID1, PACKAGE_VERSION))
    expect(run_install_cmd(bench, c, folder), 0, 'install.cmd exit for PASS')
    check(e2e.PROVTOOL_LINE in c.store.log(), f'the package was not applied from its folder: {c.store.log()}')
    # The key and value the definitions name are the ones the exe writes.
    expect(registry_value(bench, c, s.defs), e2e.reg_sz(PACKAGE_VERSION), 'record at the defined key and value')


def t_install_cmd_fail(s, bench):
    folder = install_cmd_folder(s, bench, 'fail', os.path.join(s.signed, EXE))
    c = bench.case()
    expect(run_install_cmd(bench, c, folder), 1603, 'install.cmd exit for FAIL')
    expect(registry_value(bench, c, s.defs), 'absent-key', 'record after FAIL')


def t_install_cmd_other(s, bench):
    # runner.exe started without arguments answers 2: any code but PASS and FAIL goes through.
    folder = install_cmd_folder(s, bench, 'other', os.path.join(s.bench, 'runner.exe'))
    expect(run_install_cmd(bench, bench.case(), folder), 2, 'install.cmd exit for code 2')


def t_install_cmd_no_exe(s, bench):
    folder = install_cmd_folder(s, bench, 'no-exe', None)
    expect(run_install_cmd(bench, bench.case(), folder), 9009, 'install.cmd exit without the exe')


INSTALL_CMD_CASES = [
    ('install-cmd[pass-to-0]', t_install_cmd_pass),
    ('install-cmd[fail-to-1603]', t_install_cmd_fail),
    ('install-cmd[other-code-passes]', t_install_cmd_other),
    ('install-cmd[missing-exe]', t_install_cmd_no_exe),
]


# ---- driver ----------------------------------------------------------------------------------

def attempt(name, fn):
    t0 = time.monotonic()
    try:
        fn()
        print(f'{name}: ok ({time.monotonic() - t0:.1f}s)', flush=True)
        return True
    except Failure as e:
        print(f'{name}: FAIL: {e}', flush=True)
    except Exception:
        print(f'{name}: FAIL (harness error)\n{traceback.format_exc()}', flush=True)
    return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--bench', required=True, help='folder holding the Wine bench exes')
    ap.add_argument('-k', dest='keyword', default='', help='run only checks whose name contains this '
                    '(the two releases are always made)')
    opts = ap.parse_args()

    started = time.monotonic()
    s = State()
    s.bench = opts.bench
    s.tmp = tempfile.mkdtemp(prefix='ppkg-release-test-')
    results = []
    try:
        setup_ok = attempt('certificates', lambda: setattr(s, 'certs', make_certificates(s.tmp)))
        setup_ok = setup_ok and attempt('definitions-program', lambda: setattr(s, 'defs', definitions(s.tmp)))
        results.append(setup_ok)
        for name, fn in CHECKS:
            if not setup_ok:
                break
            if name.startswith('release-') or opts.keyword in name:
                ok = attempt(name, lambda fn=fn: fn(s))
                results.append(ok)
                if name.startswith('release-') and not ok:
                    setup_ok = False
        if setup_ok:
            results += wine_checks(s, opts.keyword)
    finally:
        shutil.rmtree(s.tmp, ignore_errors=True)
    failed = results.count(False)
    print(f'(ran in {time.monotonic() - started:.0f}s)')
    print(f'release: {len(results) - failed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
