#!/usr/bin/env python3
"""Builds the release folder and zip from a clean export of the committed tree.

    scripts/release [--pfx FILE [--password-env NAME] [--timestamp URL] [--ca-file PEM]]
                    [--name NAME] [--package-version VERSION] [--package PATH] [--out DIR]

Writes DIR/<release>/ and DIR/<release>.zip (DIR defaults to dist/release), where <release> is
ppkg-launcher-<version>, or ppkg-launcher-<version>-package-<package version> with
--package-version, so that the releases for two package versions stand side by side. The folder
holds ppkg-launcher.exe (signed when --pfx is given), DEPLOY.md, install.cmd, uninstall.cmd, the
Intune definition and SHA256SUMS; beside it the verification kit
DIR/ppkg-verify-<version>[-package-<package version>].zip (ppkg-verify.exe built to check exactly
that launcher and signed like it, the launcher and a README), whose SHA-256 SHA256SUMS also
holds. With --package the folder also holds Norv_CML_PPM_Package.ppkg, and DIR/<release>.intunewin
beside it wraps the launcher, the package and the wrappers for Intune (install.cmd as the setup
file), its SHA-256 in SHA256SUMS too; without it no .intunewin is written. The definition is
intune-win32app.json with --package-version, and intune-win32app.template.json without it: its
detection rule then compares with a placeholder that no device reports. Its display name is --name
followed by the package version (or the placeholder), so that two versions never look alike in a
list. The version, the exit codes, the registry names and the command lines come from the sources
being released, read by a small program
built from the launcher's own headers. Prints the unsigned exe's SHA-256, which is the same on
every machine.

The certificate and its password are checked before anything is built. Everything is written
to a staging folder inside DIR and moved into place only when all of it succeeded: a failed
release leaves DIR as it was. A release never replaces one already in DIR (a rollback made under
another --name would otherwise take the place of the original of that package version), and DIR
may not hold % or ! (see WRAPPER_UNSAFE). One line starts each step and one gives its time; the last
line names what was made and where.
"""

import contextlib
import errno
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli  # noqa: E402  (beside this file)
import debian  # noqa: E402
import intunewin  # noqa: E402
import linkmap  # noqa: E402
import notices  # noqa: E402
import provenance  # noqa: E402
import sbom  # noqa: E402
import sign  # noqa: E402
import thirdparty  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
EXE_NAME = 'ppkg-launcher.exe'
KIT_EXE_NAME = 'ppkg-verify.exe'
KIT_README = 'README.txt'
KIT_README_TEMPLATE = 'verify-README.txt.in'
LICENSE_FILE = 'LICENSE'
# What the kit's zip carries of the release folder's legal files: it ships a program too.
KIT_LEGAL_FILES = (LICENSE_FILE, notices.NAME)
# The build, as run in the export and stated in PROVENANCE.txt; both programs are linked by it, so
# that their link maps (build/windows/*.map) give the notices before anything is staged.
CONFIGURE = ['cmake', '--preset', 'windows']
BUILD = ['cmake', '--build', '--preset', 'windows', '--target', 'ppkg-launcher', 'ppkg-verify', '-j2']
KIT_BUILD = ['cmake', '--build', '--preset', 'windows', '--target', 'ppkg-verify', '-j2']
PROGRAMS = (EXE_NAME, KIT_EXE_NAME)
# The file the launcher applies from its working directory (packages/Commands.h); checked
# against the install command the code defines once the definitions are read.
PACKAGE_FILE = 'Norv_CML_PPM_Package.ppkg'
# What an administrator would hand the preparation tool: the folder's files that run on a device.
INTUNEWIN_FILES = (EXE_NAME, PACKAGE_FILE, 'install.cmd', 'uninstall.cmd')
SETUP_FILE = 'install.cmd'
DEFAULT_NAME = 'Norv CML PPM provisioning package'
PUBLISHER = 'NORV'
# There is no right default: the record holds what the package itself reports.
VERSION_PLACEHOLDER = 'SET-TO-THE-PACKAGE-VERSION'
# The package version names the release folder, so it is kept to characters every file system
# takes and that can never climb out of the output folder.
PACKAGE_VERSION_TEXT = re.compile(r'[0-9A-Za-z][0-9A-Za-z._+-]*')
# Characters the wrappers cannot take in their folder's path (DEPLOY.md, "Scripts and systems that
# accept only 0"): % is expanded again by cmd (under Wine; Windows unconfirmed), and a caller whose
# own cmd line runs with delayed expansion changes !NAME! before a wrapper starts.
WRAPPER_UNSAFE = '%!'
DEFINITION = 'intune-win32app.json'
DEFINITION_TEMPLATE = 'intune-win32app.template.json'
# The launcher needs Windows 10 1703 (the first release with the provisioning cmdlets), but Graph
# documents minimumSupportedWindowsRelease only as a String. The one Microsoft page that gives its
# form, Microsoft365DSC's IntuneMobileAppsWin32AppWindows10 resource, shows "1709" and "20H2" for
# Windows 10. 1709 is the oldest value a page shows; Intune reports a device on 1703 not applicable.
MINIMUM_WINDOWS_RELEASE = '1709'
# Intune's own table for a new Win32 app, kept as it is: shared by install and uninstall.
INTUNE_DEFAULT_CODES = [(0, 'success'), (1707, 'success'), (3010, 'softReboot'), (1641, 'hardReboot'),
                        (1618, 'retry')]


class ReleaseError(Exception):
    pass


@contextlib.contextmanager
def stage(name, what):
    """One line as a step of the release starts and one with the time it took, so that a slow
    build never looks like a hung one. Every step of release() runs inside one."""
    print(f'release: {name}: {what} ...', flush=True)
    started = time.monotonic()
    yield
    print(f'release: {name}: done in {time.monotonic() - started:.1f}s', flush=True)


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
    run_logged(CONFIGURE, log, cwd=src)
    run_logged(BUILD, log, cwd=src)
    exe = os.path.join(src, 'dist', EXE_NAME)
    if not os.path.isfile(exe):
        raise ReleaseError(f'the build made no {exe}')
    return exe


def take_package(path, work):
    """A private copy of the package file at PATH, made before anything is built, so that a
    wrong file is refused at once and what is released cannot change behind the release.
    Refuses another name than the one the launcher reads, a link, anything but a regular file,
    and an empty file. The checks and the copy use one descriptor, never the name again."""
    if os.path.basename(path) != PACKAGE_FILE:
        raise ReleaseError(f'--package names {os.path.basename(path) or path!r}: the launcher reads only '
                           f'{PACKAGE_FILE} from its folder; give that file (rename a copy if need be)')
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, 'O_NONBLOCK', 0))
    except OSError as e:
        if os.path.islink(path):
            raise ReleaseError(f'--package {path} is a link; give the file itself') from None
        raise ReleaseError(f'--package {path}: {e.strerror}') from None
    copy = os.path.join(work, PACKAGE_FILE)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ReleaseError(f'--package {path} is not a regular file')
        if st.st_size == 0:
            raise ReleaseError(f'--package {path} is empty')
        with os.fdopen(fd, 'rb', closefd=False) as src, open(copy, 'xb') as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
    finally:
        os.close(fd)
    if os.path.getsize(copy) == 0:
        raise ReleaseError(f'--package {path} became empty while it was read')
    return copy


def read_definitions(src, work, log):
    """What the exe is built with, printed by release/Definitions.cpp."""
    program = os.path.join(work, 'definitions')
    run_logged(['g++', '-std=c++20', '-I', src, '-I', os.path.join(src, 'build', 'windows', 'generated'),
                '-o', program, os.path.join(src, 'release', 'Definitions.cpp'),
                os.path.join(src, 'packages', 'Commands.cpp')], log)
    out = subprocess.run([program], stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out)


def wrapper(src, name, d):
    """release/NAME.in with the values the code defines filled in."""
    with open(os.path.join(src, 'release', name + '.in'), encoding='utf-8') as f:
        text = f.read()
    for placeholder, value in (('VERSION', d['version']), ('EXIT_PASS', d['exitPass']), ('EXIT_FAIL', d['exitFail']),
                               ('REGISTRY_KEY', d['registryKey']), ('REGISTRY_VALUE', d['registryValue'])):
        text = text.replace(f'@{placeholder}@', str(value))
    if '@' in text.replace('@echo', ''):
        raise ReleaseError(f'release/{name}.in holds a placeholder this script does not fill')
    # cmd.exe reads labels and long lines reliably only with CRLF line ends.
    return text.replace('\r\n', '\n').replace('\n', '\r\n').encode('ascii')


def release_name(d, package_version, program='ppkg-launcher'):
    """The name of the release folder and its zips: the launcher's version, and the package
    version when the release is made for one."""
    return f'{program}-{d["version"]}' + (f'-package-{package_version}' if package_version else '')


def intune_definition(d, name, package_version, content_file):
    """A Graph win32LobApp body: direct exe commands, one return-code table for both. CONTENT_FILE
    is the .intunewin it goes with; the setup file is the one that .intunewin names."""
    codes = INTUNE_DEFAULT_CODES + [(d['exitPass'], 'success'), (d['exitFail'], 'failed'),
                                    (d['exitFailure'], 'failed')]
    app = {
        '@odata.type': '#microsoft.graph.win32LobApp',
        'displayName': f'{name} {package_version}',
        'description': f'Installs and removes Norv_CML_PPM_Package.ppkg with ppkg-launcher {d["version"]}; '
                       'detected by the registry value the launcher writes after a successful install.',
        'publisher': PUBLISHER,
        'notes': f'ppkg-launcher {d["version"]}; package version {package_version}. Content: {content_file}, '
                 f'which wraps {", ".join(INTUNEWIN_FILES)} with {SETUP_FILE} as the setup file.',
        'fileName': content_file,
        'setupFilePath': SETUP_FILE,
        'installCommandLine': EXE_NAME,
        'uninstallCommandLine': f'{EXE_NAME} /uninstall',
        'applicableArchitectures': 'x64',
        'minimumSupportedWindowsRelease': MINIMUM_WINDOWS_RELEASE,
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


def stage_folder(staging, src, built, d, opts, password, password_from, stamp, package, legal):
    """The release folder, inside STAGING, with the copy of the package file PACKAGE if there is
    one and the files of LEGAL ({name: bytes}); returns its path and what was done to the exe.
    Its SHA256SUMS comes last (write_sums)."""
    folder = os.path.join(staging, release_name(d, opts.package_version))
    os.makedirs(folder)
    exe = os.path.join(folder, EXE_NAME)
    signing = f'{EXE_NAME} with {opts.pfx}' if opts.pfx else f'{EXE_NAME}: no certificate given, not signed'
    with stage('sign', signing):
        shutil.copyfile(built, exe)
        if opts.pfx:
            try:
                signed = sign.sign(exe, opts.pfx, password, password_from, opts.timestamp, opts.ca_file)
            except sign.SignError as e:
                raise ReleaseError(f'signing failed: {e}') from None
            exe_state = 'SIGNED: ' + signed.replace(exe, EXE_NAME)
        else:
            exe_state = 'UNSIGNED: no certificate given (--pfx)'

    legal_names = ', '.join(legal)
    with stage('wrappers', f'install.cmd, uninstall.cmd, DEPLOY.md, {legal_names}' +
               (f' and {PACKAGE_FILE}' if package else '')):
        shutil.copyfile(os.path.join(src, 'DEPLOY.md'), os.path.join(folder, 'DEPLOY.md'))
        for name, data in legal.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
        if package:
            shutil.copyfile(package, os.path.join(folder, PACKAGE_FILE))
        for name in ('install.cmd', 'uninstall.cmd'):
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(wrapper(src, name, d))
    definition = DEFINITION if opts.package_version else DEFINITION_TEMPLATE
    with stage('definitions', definition):
        with open(os.path.join(folder, definition), 'wb') as f:
            f.write(intune_definition(d, opts.name, opts.package_version or VERSION_PLACEHOLDER,
                                      os.path.basename(folder) + '.intunewin'))
    return folder, exe_state


def write_sums(folder, beside, stamp):
    """SHA256SUMS in the release folder: every file of it, then each path of BESIDE (files next
    to the folder), named from inside as ../NAME; every file of the folder gets the commit's time."""
    lines = [f'{sha256_of(os.path.join(folder, n))}  {n}\n' for n in sorted(os.listdir(folder))]
    lines += [f'{sha256_of(path)}  ../{os.path.basename(path)}\n' for path in beside]
    with open(os.path.join(folder, 'SHA256SUMS'), 'w', encoding='ascii', newline='\n') as f:
        f.write(''.join(lines))
    for name in os.listdir(folder):
        os.utime(os.path.join(folder, name), (stamp, stamp))


def stage_kit(staging, src, folder, d, opts, password, password_from, stamp, log):
    """The verification kit's zip, beside the release folder inside STAGING: ppkg-verify.exe
    built to check the released launcher (signed or not) by its SHA-256 and signed like it, that
    launcher, and a README. Returns what was done to the kit's exe."""
    launcher = os.path.join(folder, EXE_NAME)
    run_logged(CONFIGURE + [f'-DPPKG_VERIFY_LAUNCHER={launcher}'], log, cwd=src)
    run_logged(KIT_BUILD, log, cwd=src)
    built = os.path.join(src, 'dist', 'tools', KIT_EXE_NAME)
    if not os.path.isfile(built):
        raise ReleaseError(f'the build made no {built}')

    kit = os.path.join(staging, release_name(d, opts.package_version, 'ppkg-verify'))
    os.makedirs(kit)
    exe = os.path.join(kit, KIT_EXE_NAME)
    shutil.copyfile(built, exe)
    shutil.copyfile(launcher, os.path.join(kit, EXE_NAME))
    for name in KIT_LEGAL_FILES:
        shutil.copyfile(os.path.join(folder, name), os.path.join(kit, name))
    if opts.pfx:
        try:
            sign.sign(exe, opts.pfx, password, password_from, opts.timestamp, opts.ca_file)
        except sign.SignError as e:
            raise ReleaseError(f'signing the verification kit failed: {e}') from None
        kit_state = 'SIGNED with the same certificate'
    else:
        kit_state = 'UNSIGNED: no certificate given (--pfx)'
    with open(os.path.join(src, 'release', KIT_README_TEMPLATE), encoding='utf-8') as f:
        readme = f.read().replace('@VERSION@', d['version'])
    with open(os.path.join(kit, KIT_README), 'wb') as f:
        f.write(readme.replace('\r\n', '\n').replace('\n', '\r\n').encode('ascii'))
    for name in os.listdir(kit):
        os.utime(os.path.join(kit, name), (stamp, stamp))
    write_zip(kit, kit + '.zip', stamp)
    shutil.rmtree(kit)
    return kit_state


def stage_intunewin(folder, definition, stamp):
    """The .intunewin beside the release folder: the folder's files that run on a device, as an
    administrator would wrap them, named and set up as DEFINITION (the definition's bytes)
    says. Returns its path."""
    app = json.loads(definition)
    path = os.path.join(os.path.dirname(folder), app['fileName'])
    try:
        intunewin.write(folder, INTUNEWIN_FILES, app['setupFilePath'], app['displayName'], path, stamp)
    except intunewin.IntunewinError as e:
        raise ReleaseError(f'could not write {app["fileName"]}: {e}') from None
    return path


def published_names(d, package_version, package):
    """What a release puts into its output folder: the release folder, its zip, the kit's zip
    and, with a package, the .intunewin."""
    base = release_name(d, package_version)
    return [base, base + '.zip', release_name(d, package_version, 'ppkg-verify') + '.zip'] + (
        [base + '.intunewin'] if package else [])


def refuse_to_replace(out, names):
    """A release never replaces one already made: the folder may be uploaded or deployed, and a
    release of the same package version (a rollback under another --name, say) would take its
    place unseen."""
    there = [n for n in names if os.path.lexists(os.path.join(out, n))]
    if there:
        raise ReleaseError(f'{out} already holds {", ".join(there)}: a release never replaces another. '
                           f'Give another --out, or move those away first')


def link_map(src, program):
    """The link map the build in SRC wrote for PROGRAM (see CMakeLists.txt)."""
    return os.path.join(src, 'build', 'windows', os.path.splitext(program)[0] + '.map')


def third_party(src, d):
    """What of others' code the two programs, as the build in SRC linked them, carry (read from
    their link maps), and the legal files of the release: {name: bytes}. Anything without a notice
    stops the release."""
    try:
        inputs = {program: linkmap.read(link_map(src, program)) for program in PROGRAMS}
        linked = thirdparty.resolve(inputs, os.path.join(src, 'build', 'windows'), src)
    except (OSError, linkmap.LinkMapError, thirdparty.ThirdPartyError) as e:
        raise ReleaseError(f'third-party notices: {e}') from None
    with open(os.path.join(src, LICENSE_FILE), 'rb') as f:
        licence = f.read()
    return linked, {LICENSE_FILE: licence, notices.NAME: notices.text(linked, d['version'], PROGRAMS).encode('utf-8')}


def stage_records(staging, src, folder, d, opts, linked, commit, stamp, unsigned_hash):
    """The SBOM and PROVENANCE.txt, into the release folder (SHA256SUMS names them later), once
    both programs are in their final form: the kit's exe was linked again to check the released
    launcher, and that link must have taken in what the notices name."""
    again = linkmap.read(link_map(src, KIT_EXE_NAME))
    if again != linked.inputs[KIT_EXE_NAME]:
        raise ReleaseError('the kit\'s final link took in other files than the one its notices were read from')
    kit = release_name(d, opts.package_version, 'ppkg-verify')
    with zipfile.ZipFile(os.path.join(staging, kit + '.zip')) as z:
        kit_hash = hashlib.sha256(z.read(f'{kit}/{KIT_EXE_NAME}')).hexdigest()
    launcher_hash = sha256_of(os.path.join(folder, EXE_NAME))
    kit_unsigned = sha256_of(os.path.join(src, 'dist', 'tools', KIT_EXE_NAME))
    try:
        tools = provenance.toolchain(linked)
    except (provenance.ProvenanceError, debian.DebianError) as e:
        raise ReleaseError(f'provenance: {e}') from None
    host_name, distro = provenance.host()
    when = time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(stamp))
    name = os.path.basename(folder)
    build_steps = [' '.join(CONFIGURE), ' '.join(BUILD)]
    kit_steps = [' '.join(CONFIGURE + [f'-DPPKG_VERIFY_LAUNCHER=<the released {EXE_NAME}>']), ' '.join(KIT_BUILD)]
    records = {
        sbom.NAME: sbom.document(
            linked, {'name': name, 'version': d['version'], 'package_version': opts.package_version},
            [(EXE_NAME, launcher_hash, unsigned_hash), (KIT_EXE_NAME, kit_hash, kit_unsigned)], commit, when, tools,
            [('build', build_steps), ('kit', kit_steps)], distro),
        provenance.NAME: provenance.statement(
            name, commit, when, host_name, build_steps, kit_steps, tools, unsigned_hash, kit_unsigned,
            launcher_hash, bool(opts.pfx)).encode('utf-8'),
    }
    for record, data in records.items():
        with open(os.path.join(folder, record), 'wb') as f:
            f.write(data)


def publish(staging, out):
    """Moves every entry of STAGING into OUT and returns the new paths; an entry of the same name
    that has appeared in OUT meanwhile stops it, as refuse_to_replace would. Each move is a rename
    within one file system; if one fails, what was moved goes back."""
    done = []
    try:
        for name in sorted(n for n in os.listdir(staging) if not n.startswith('.')):
            target = os.path.join(out, name)
            if os.path.lexists(target):
                raise FileExistsError(errno.EEXIST, 'a release never replaces another', target)
            os.replace(os.path.join(staging, name), target)
            done.append(name)
    except OSError as e:
        for name in reversed(done):
            os.replace(os.path.join(out, name), os.path.join(staging, name))
        raise ReleaseError(f'could not move the release into {out}: {e}') from None
    return [os.path.join(out, name) for name in done]


def release(opts):
    started = time.monotonic()
    commit = git('rev-parse', 'HEAD')
    stamp = int(git('log', '-1', '--format=%ct', 'HEAD'))
    if git('status', '--porcelain', '--untracked-files=no'):
        print('release: uncommitted changes are not part of the release; it is built from HEAD')

    password, password_from = '', 'no password given'
    if opts.pfx:
        # A wrong password or an unfit certificate is found now, not after the build.
        try:
            password, password_from = sign.password_from_env(opts.password_env)
            with tempfile.TemporaryDirectory(prefix='ppkg-certificate-') as scratch:
                subject = sign.check_pfx(opts.pfx, password, password_from, opts.ca_file, scratch).subject
        except sign.SignError as e:
            raise ReleaseError(f'signing would fail, nothing built: {e}') from None
        print(f'release: certificate "{subject}" checked ({password_from})')

    out = os.path.abspath(opts.out)
    work = tempfile.mkdtemp(prefix='ppkg-release-')
    staging = None
    try:
        # A wrong package file is refused before anything is built or written.
        package = take_package(opts.package, work) if opts.package else None
        os.makedirs(out, exist_ok=True)
        # Inside OUT, so that publishing is a rename; its name starts with a dot so that no
        # release name can meet it.
        staging = tempfile.mkdtemp(prefix='.staging-', dir=out)
        src = os.path.join(work, 'src')
        log = os.path.join(work, 'build.log')
        with stage('build', f'{EXE_NAME} from a clean export of HEAD (log: {log})'):
            export_head(src)
            built = build(src, log)
            d = read_definitions(src, work, log)
        if PACKAGE_FILE not in d['installCommand'].split():
            raise ReleaseError(f'the launcher applies another file than {PACKAGE_FILE}: {d["installCommand"]}')
        refuse_to_replace(out, published_names(d, opts.package_version, package))
        unsigned_hash = sha256_of(built)
        with stage('notices', f'{LICENSE_FILE} and {notices.NAME} from the links\' maps'):
            linked, legal = third_party(src, d)
        folder, exe_state = stage_folder(staging, src, built, d, opts, password, password_from, stamp, package,
                                         legal)
        kit_zip = os.path.join(staging, release_name(d, opts.package_version, 'ppkg-verify') + '.zip')
        with stage('kit', f'{KIT_EXE_NAME} built to check this {EXE_NAME}, in {os.path.basename(kit_zip)}'):
            kit_state = stage_kit(staging, src, folder, d, opts, password, password_from, stamp, log)
        with stage('records', f'{sbom.NAME} and {provenance.NAME}'):
            stage_records(staging, src, folder, d, opts, linked, commit, stamp, unsigned_hash)
        beside = [kit_zip]
        definition = DEFINITION if opts.package_version else DEFINITION_TEMPLATE
        if package:
            with stage('.intunewin', f'{os.path.basename(folder)}.intunewin'):
                with open(os.path.join(folder, definition), 'rb') as f:
                    content = stage_intunewin(folder, f.read(), stamp)
            beside.append(content)
        with stage('checksums', 'SHA256SUMS'):
            write_sums(folder, beside, stamp)
        with stage('zip', f'{os.path.basename(folder)}.zip'):
            write_zip(folder, folder + '.zip', stamp)
        published = publish(staging, out)
    except (ReleaseError, subprocess.CalledProcessError) as e:
        raise ReleaseError(f'{e}\nrelease: nothing was released; {out} holds what it held before') from None
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if staging:
            shutil.rmtree(staging, ignore_errors=True)

    print(f'release: ppkg-launcher {d["version"]} from commit {commit}')
    print(f'release: {EXE_NAME} is {exe_state}')
    print(f'release: the verification kit\'s {KIT_EXE_NAME} checks this release\'s {EXE_NAME} by its SHA-256; '
          f'the kit\'s exe is {kit_state}')
    if opts.package_version:
        print(f'release: {DEFINITION} detects the package version {opts.package_version!r}')
    else:
        print(f'release: {DEFINITION_TEMPLATE} is a template, not for upload: its detection rule compares '
              f'with {VERSION_PLACEHOLDER!r}, which no device reports. Pass --package-version with the version '
              f'the package reports to write {DEFINITION}')
    if package:
        name = os.path.basename(content)
        print(f'release: {name} wraps {", ".join(INTUNEWIN_FILES)} for Intune ({SETUP_FILE} as the setup '
              f'file); SHA-256 {sha256_of(os.path.join(out, name))}')
        if opts.package_version:
            print(f'release: upload {name} with {DEFINITION}: they belong together')
        else:
            print(f'release: upload {name} with {DEFINITION_TEMPLATE} only once its comparisonValue is the version '
                  f'the package reports, or release again with --package-version')
    else:
        print(f'release: no .intunewin: no package file given (--package PATH to {PACKAGE_FILE}), and Intune '
              'content without it would install nothing. Wrap the folder with the package on Windows as '
              'DEPLOY.md "Intune (Win32 app)" says')
    print(f'release: {LICENSE_FILE} (Apache-2.0), {notices.NAME}, the SBOM {sbom.NAME} (CycloneDX 1.5) and '
          f'{provenance.NAME} are in the folder; the programs carry code of '
          + ', '.join(sorted({f'{c.package} {c.version}' for c in linked.components})))
    print(f'release: unsigned exe SHA-256 {unsigned_hash}')
    print(f'release: zip SHA-256 {sha256_of(os.path.join(out, os.path.basename(folder) + ".zip"))}')
    made = [os.path.basename(p) + ('/' if os.path.isdir(p) else '') for p in published]
    print(f'release: made {", ".join(made[:-1])} and {made[-1]} in {out} ({time.monotonic() - started:.1f}s in all)')


def main(argv=None):
    ap = cli.ArgumentParser(prog='release', description=__doc__.splitlines()[0])
    sign.add_signing_options(ap, False, 'sign the exe with this PKCS#12 file (see scripts/sign)')
    ap.add_argument('--name', default=DEFAULT_NAME, help=f'display name in the Intune definition, followed there by the '
                    f'package version (default: {DEFAULT_NAME})')
    ap.add_argument('--package-version', metavar='VERSION',
                    help=f'version the provisioning package reports: the detection rule compares the record to it. '
                         f'Without it the definition is written as {DEFINITION_TEMPLATE}')
    ap.add_argument('--package', metavar='PATH',
                    help=f'the provisioning package, a file named {PACKAGE_FILE}: copied into the release folder '
                         f'and wrapped with the launcher and the wrappers into an .intunewin for Intune. '
                         f'Without it no .intunewin is written')
    ap.add_argument('--out', default=os.path.join(ROOT, 'dist', 'release'),
                    help=f'output folder (default: dist/release); never one whose path holds '
                         f'{" or ".join(WRAPPER_UNSAFE).replace("%", "%%")}. A release already there is never replaced')
    opts = ap.parse_args(argv)
    if not opts.pfx and (opts.password_env or opts.timestamp or opts.ca_file):
        ap.error('--password-env, --timestamp and --ca-file need --pfx')
    if opts.package_version is not None and not PACKAGE_VERSION_TEXT.fullmatch(opts.package_version):
        ap.error('--package-version takes letters, digits and . _ + - (starting with a letter or digit): '
                 'it names the release folder')
    unsafe = sorted({c for c in os.path.abspath(opts.out) if c in WRAPPER_UNSAFE})
    if unsafe:
        ap.error(f'--out holds {" and ".join(unsafe)}: the wrappers cannot run from a folder whose path holds '
                 f'{" or ".join(WRAPPER_UNSAFE)} (DEPLOY.md, "Scripts and systems that accept only 0")')
    try:
        release(opts)
    except (ReleaseError, subprocess.CalledProcessError) as e:
        print(f'release: {e}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
