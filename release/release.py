#!/usr/bin/env python3
"""Builds the release folder and zip from a clean export of the committed tree.

    scripts/release [--pfx FILE [--password-env NAME] [--timestamp URL] [--ca-file PEM]]
                    [--name NAME] [--package-version VERSION] [--out DIR]

Writes DIR/ppkg-launcher-<version>/ and DIR/ppkg-launcher-<version>.zip (DIR defaults to
dist/release) holding ppkg-launcher.exe (signed when --pfx is given), DEPLOY.md, install.cmd,
intune-win32app.json and SHA256SUMS. The version, the exit codes, the registry names and the
command lines come from the sources being released, read by a small program built from the
launcher's own headers. Prints the unsigned exe's SHA-256, which is the same on every machine.
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sign  # noqa: E402  (beside this file)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
EXE_NAME = 'ppkg-launcher.exe'
DEFAULT_NAME = 'Norv CML PPM provisioning package'
PUBLISHER = 'NORV'
# There is no right default: the record holds what the package itself reports.
VERSION_PLACEHOLDER = 'SET-TO-THE-PACKAGE-VERSION'
# Intune's own table for a new Win32 app, kept as it is: shared by install and uninstall.
INTUNE_DEFAULT_CODES = [(0, 'success'), (1707, 'success'), (3010, 'softReboot'), (1641, 'hardReboot'),
                        (1618, 'retry')]


class ReleaseError(Exception):
    pass


def run_logged(argv, log, cwd=None, **kw):
    with open(log, 'ab') as out:
        r = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, **kw)
    if r.returncode != 0:
        with open(log, 'rb') as f:
            tail = f.read().decode(errors='replace').splitlines()[-20:]
        raise ReleaseError(f'{" ".join(argv)} failed:\n' + '\n'.join('    ' + line for line in tail))


def git(*args):
    return subprocess.run(['git', '-C', ROOT, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, check=True).stdout.strip()


def export_head(dest):
    """The committed tree only: nothing from a build, nothing uncommitted."""
    os.makedirs(dest)
    archive = subprocess.Popen(['git', '-C', ROOT, 'archive', '--format=tar', 'HEAD'], stdout=subprocess.PIPE)
    untar = subprocess.run(['tar', '-x', '-C', dest], stdin=archive.stdout)
    archive.stdout.close()
    if archive.wait() != 0 or untar.returncode != 0:
        raise ReleaseError('could not export HEAD')


def build(src, log):
    run_logged(['cmake', '--preset', 'windows'], log, cwd=src)
    run_logged(['cmake', '--build', '--preset', 'windows', '--target', 'ppkg-launcher', '-j2'], log, cwd=src)
    exe = os.path.join(src, 'dist', EXE_NAME)
    if not os.path.isfile(exe):
        raise ReleaseError(f'the build made no {exe}')
    return exe


def read_definitions(src, work, log):
    """What the exe is built with, printed by release/Definitions.cpp."""
    program = os.path.join(work, 'definitions')
    run_logged(['g++', '-std=c++20', '-I', src, '-I', os.path.join(src, 'build', 'windows', 'generated'),
                '-o', program, os.path.join(src, 'release', 'Definitions.cpp'),
                os.path.join(src, 'packages', 'Commands.cpp')], log)
    out = subprocess.run([program], stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out)


def install_cmd(src, d):
    with open(os.path.join(src, 'release', 'install.cmd.in'), encoding='utf-8') as f:
        text = f.read()
    for key, value in (('VERSION', d['version']), ('EXIT_PASS', d['exitPass']), ('EXIT_FAIL', d['exitFail'])):
        text = text.replace(f'@{key}@', str(value))
    # cmd.exe reads labels and long lines reliably only with CRLF line ends.
    return text.replace('\r\n', '\n').replace('\n', '\r\n').encode('ascii')


def intune_definition(d, name, package_version):
    """A Graph win32LobApp body: direct exe commands, one return-code table for both."""
    codes = INTUNE_DEFAULT_CODES + [(d['exitPass'], 'success'), (d['exitFail'], 'failed'),
                                    (d['exitFailure'], 'failed')]
    app = {
        '@odata.type': '#microsoft.graph.win32LobApp',
        'displayName': name,
        'description': f'Installs and removes Norv_CML_PPM_Package.ppkg with ppkg-launcher {d["version"]}; '
                       'detected by the registry value the launcher writes after a successful install.',
        'publisher': PUBLISHER,
        'notes': f'ppkg-launcher {d["version"]}; package version {package_version}. Package the folder holding '
                 f'{EXE_NAME} and Norv_CML_PPM_Package.ppkg with {EXE_NAME} as the setup file.',
        'fileName': 'ppkg-launcher.intunewin',
        'setupFilePath': EXE_NAME,
        'installCommandLine': EXE_NAME,
        'uninstallCommandLine': f'{EXE_NAME} /uninstall',
        'applicableArchitectures': 'x64',
        'rules': [{
            '@odata.type': '#microsoft.graph.win32LobAppRegistryRule',
            'ruleType': 'detection',
            'check32BitOn64System': False,
            'keyPath': d['registryKey'],
            'valueName': d['registryValue'],
            'operationType': 'string',
            'operator': 'equal',
            'comparisonValue': package_version,
        }],
        'installExperience': {
            '@odata.type': '#microsoft.graph.win32LobAppInstallExperience',
            'runAsAccount': 'system',
            'deviceRestartBehavior': 'basedOnReturnCode',
        },
        'returnCodes': [{'@odata.type': '#microsoft.graph.win32LobAppReturnCode', 'returnCode': code, 'type': kind}
                        for code, kind in codes],
    }
    return (json.dumps(app, indent=2, ensure_ascii=False) + '\n').encode('utf-8')


def sha256_of(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def write_zip(folder, zip_path, stamp):
    """Same files and same commit, same zip: fixed order, times, modes and no extra fields."""
    base = os.path.basename(folder)
    date_time = time.gmtime(stamp)[:6]
    with zipfile.ZipFile(zip_path, 'w') as z:
        for name in sorted(os.listdir(folder)):
            info = zipfile.ZipInfo(f'{base}/{name}', date_time=date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = (0o100755 if name.endswith('.exe') or name.endswith('.cmd') else 0o100644) << 16
            with open(os.path.join(folder, name), 'rb') as f:
                z.writestr(info, f.read())


def release(opts):
    started = time.monotonic()
    commit = git('rev-parse', 'HEAD')
    stamp = int(git('log', '-1', '--format=%ct', 'HEAD'))
    if git('status', '--porcelain', '--untracked-files=no'):
        print('release: uncommitted changes are not part of the release; it is built from HEAD')

    work = tempfile.mkdtemp(prefix='ppkg-release-')
    try:
        src = os.path.join(work, 'src')
        log = os.path.join(work, 'build.log')
        export_head(src)
        built = build(src, log)
        d = read_definitions(src, work, log)
        unsigned_hash = sha256_of(built)

        out = os.path.abspath(opts.out)
        folder = os.path.join(out, f'ppkg-launcher-{d["version"]}')
        zip_path = folder + '.zip'
        shutil.rmtree(folder, ignore_errors=True)
        if os.path.exists(zip_path):
            os.remove(zip_path)
        os.makedirs(folder)

        exe = os.path.join(folder, EXE_NAME)
        shutil.copyfile(built, exe)
        if opts.pfx:
            password, password_from = '', 'no password given'
            if opts.password_env:
                if opts.password_env not in os.environ:
                    raise ReleaseError(f'the environment variable {opts.password_env} is not set')
                password, password_from = os.environ[opts.password_env], f'password from ${opts.password_env}'
            try:
                signed = sign.sign(exe, opts.pfx, password, password_from, opts.timestamp, opts.ca_file)
            except sign.SignError as e:
                shutil.rmtree(folder, ignore_errors=True)
                raise ReleaseError(f'signing failed, nothing released: {e}') from None
            exe_state = 'SIGNED: ' + signed.replace(exe, EXE_NAME)
        else:
            exe_state = 'UNSIGNED: no certificate given (--pfx)'

        package_version = opts.package_version or VERSION_PLACEHOLDER
        shutil.copyfile(os.path.join(src, 'DEPLOY.md'), os.path.join(folder, 'DEPLOY.md'))
        with open(os.path.join(folder, 'install.cmd'), 'wb') as f:
            f.write(install_cmd(src, d))
        with open(os.path.join(folder, 'intune-win32app.json'), 'wb') as f:
            f.write(intune_definition(d, opts.name, package_version))
        sums = ''.join(f'{sha256_of(os.path.join(folder, n))}  {n}\n' for n in sorted(os.listdir(folder)))
        with open(os.path.join(folder, 'SHA256SUMS'), 'w', encoding='ascii', newline='\n') as f:
            f.write(sums)
        for name in os.listdir(folder):
            os.utime(os.path.join(folder, name), (stamp, stamp))
        write_zip(folder, zip_path, stamp)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print(f'release: ppkg-launcher {d["version"]} from commit {commit}')
    print(f'release: {os.path.relpath(folder)}/ and {os.path.relpath(zip_path)}')
    print(f'release: {EXE_NAME} is {exe_state}')
    if not opts.package_version:
        print(f'release: intune-win32app.json detects the value {VERSION_PLACEHOLDER!r}: '
              'pass --package-version with the version the package reports')
    print(f'release: unsigned exe SHA-256 {unsigned_hash}')
    print(f'release: zip SHA-256 {sha256_of(zip_path)}')
    print(f'release: took {time.monotonic() - started:.1f}s')


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('--pfx', help='sign the exe with this PKCS#12 file (see scripts/sign)')
    ap.add_argument('--password-env', metavar='NAME', help='environment variable holding the .pfx password')
    ap.add_argument('--timestamp', metavar='URL', help='RFC 3161 time-stamp server (default: none)')
    ap.add_argument('--ca-file', metavar='PEM', help='root certificate(s) to verify the signature against')
    ap.add_argument('--name', default=DEFAULT_NAME, help=f'display name in intune-win32app.json (default: {DEFAULT_NAME})')
    ap.add_argument('--package-version', metavar='VERSION',
                    help='version the provisioning package reports: the detection rule compares the record to it')
    ap.add_argument('--out', default=os.path.join(ROOT, 'dist', 'release'), help='output folder (default: dist/release)')
    opts = ap.parse_args(argv)
    if not opts.pfx and (opts.password_env or opts.timestamp or opts.ca_file):
        ap.error('--password-env, --timestamp and --ca-file need --pfx')
    try:
        release(opts)
    except (ReleaseError, subprocess.CalledProcessError) as e:
        print(f'release: {e}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
