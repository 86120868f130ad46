#!/usr/bin/env python3
"""Release checks: two releases from clean exports with a stand-in package (one unsigned without
a package version, one signed with a throwaway certificate made here and a package version),
compared with each other, with what the code defines and with the documented Graph properties of
the Intune definition; their .intunewin files read by a decoder of their own (decode_intunewin.py)
and tampered copies refused; the refusals of the signing and release scripts, which never show a
secret; a failed release that leaves the previous one as it was; and, under Wine, the signed exe
and the install and uninstall wrappers at work through cmd.exe.

    python3 tests/release/test_release.py --bench build/windows/bench [-k TEXT]

Needs git, g++, mingw-w64, osslsigncode, openssl, python3-cryptography and Wine (scripts/deps.sh installs
them).
"""

import argparse
import base64
import contextlib
import hashlib
import io
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
sys.path.insert(0, HERE)
import check_exe  # noqa: E402
import decode_intunewin  # noqa: E402
import e2e  # noqa: E402
import linkmap  # noqa: E402
import notices  # noqa: E402
import provenance  # noqa: E402
import release as release_script  # noqa: E402
import sbom  # noqa: E402
import thirdparty  # noqa: E402

EXE = 'ppkg-launcher.exe'
KIT_EXE = 'ppkg-verify.exe'
DEFINITION = release_script.DEFINITION
TEMPLATE = release_script.DEFINITION_TEMPLATE
PACKAGE = e2e.PACKAGE_FILE
# The same in every release of a commit; the records name the release and its programs' hashes.
LEGAL_FILES = {'LICENSE', notices.NAME}
RECORDS = {sbom.NAME, provenance.NAME}
COMMON_FILES = {EXE, PACKAGE, 'DEPLOY.md', 'install.cmd', 'uninstall.cmd', 'SHA256SUMS'} | LEGAL_FILES | RECORDS
# What the .intunewin must hold: what runs on a device, as an administrator would wrap it.
INTUNEWIN_FILES = {EXE, PACKAGE, 'install.cmd', 'uninstall.cmd'}
# The unsigned release is made without a package version, the signed one with it.
UNSIGNED_FILES = COMMON_FILES | {TEMPLATE}
SIGNED_FILES = COMMON_FILES | {DEFINITION}
PASSWORD_ENV = 'PPKG_TEST_PFX_PASSWORD'
PASSWORD = 'correct horse'
NAME = 'Test CML package'
PACKAGE_VERSION = '1.0.2'
# A password typed where a name or another option belongs.
SECRET = 'Tr0ub4dor&3 s3cret'
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
    r = run([os.path.join(ROOT, 'scripts', 'release'), '--out', out, '--name', NAME, *extra], env=env)
    check(r.returncode == 0, f'scripts/release failed:\n{r.stdout}{r.stderr}')
    m = re.search(r'unsigned exe SHA-256 ([0-9a-f]{64})', r.stdout)
    check(m, f'no unsigned hash in:\n{r.stdout}')
    folders = [n for n in os.listdir(out) if os.path.isdir(os.path.join(out, n))]
    expect(len(folders), 1, f'release folders in {out}')
    return r.stdout, m.group(1), os.path.join(out, folders[0])


def make_package(d):
    """A stand-in provisioning package under the name the launcher reads: bytes no zip tool
    would leave as they are (a zip's own end record, then text and every byte value)."""
    os.makedirs(d)
    path = os.path.join(d, PACKAGE)
    with open(path, 'wb') as f:
        f.write(b'PK\x05\x06' + bytes(18) + b'stand-in package\r\n' * 500 + bytes(range(256)) * 64)
    return path


def intunewin_of(folder):
    """The .intunewin beside a release folder."""
    return folder + '.intunewin'


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
    s.unsigned_out, s.unsigned_hash, s.unsigned = release(os.path.join(s.tmp, 'unsigned'), '--package', s.package)
    check('is UNSIGNED' in s.unsigned_out, f'the release does not say it is unsigned:\n{s.unsigned_out}')
    check(f'{TEMPLATE} is a template, not for upload' in s.unsigned_out,
          f'the release does not say its definition is a template:\n{s.unsigned_out}')
    content = os.path.basename(intunewin_of(s.unsigned))
    check(f'upload {content} with {TEMPLATE} only once its comparisonValue' in s.unsigned_out,
          f'the release does not say the template must be filled in first:\n{s.unsigned_out}')


@step('release-signed')
def t_release_signed(s):
    s.signed_out, s.signed_hash, s.signed = release(os.path.join(s.tmp, 'signed'), '--pfx', s.certs['signer.pfx'],
                                                    '--password-env', PASSWORD_ENV,
                                                    '--package-version', PACKAGE_VERSION, '--package', s.package)
    check('is SIGNED' in s.signed_out, f'the release does not say it is signed:\n{s.signed_out}')
    content = os.path.basename(intunewin_of(s.signed))
    check(f'upload {content} with {DEFINITION}: they belong together' in s.signed_out,
          f'the release does not say which file to upload with which definition:\n{s.signed_out}')
    # Signed without a time stamp: the output must say what that costs.
    check('stops validating when the certificate expires' in s.signed_out,
          f'the release does not say the signature ends with the certificate:\n{s.signed_out}')


# The steps scripts/release shows, in the order it runs them (with --package).
STAGES = ['build', 'notices', 'sign', 'wrappers', 'definitions', 'kit', 'records', '.intunewin', 'checksums', 'zip']


@step('stage-lines')
def t_stage_lines(s):
    """Each step of both releases made above: a line as it starts and one with its time, in
    order; the last line names what was made and where."""
    for output, folder in ((s.unsigned_out, s.unsigned), (s.signed_out, s.signed)):
        lines = output.splitlines()
        seen = []
        for line in lines:
            m = re.fullmatch(r'release: (\S+): (?:done in (\d+\.\d)s|(.+) \.\.\.)', line)
            if m and m.group(1) in STAGES:
                seen.append((m.group(1), 'done' if m.group(2) else 'start'))
        expect(seen, [(name, kind) for name in STAGES for kind in ('start', 'done')], 'stage lines in order')
        out = os.path.dirname(folder)
        base = os.path.basename(folder)
        made = [n + '/' if n == base else n
                for n in sorted([base, base + '.zip', os.path.basename(kit_zip(folder)), base + '.intunewin'])]
        want = re.escape(f'release: made {", ".join(made[:-1])} and {made[-1]} in {out} (') + r'\d+\.\ds in all\)'
        check(re.fullmatch(want, lines[-1]), f'last line {lines[-1]!r}, want it to name {made} in {out}')


@step('reproducible-build')
def t_reproducible(s):
    # Two clean exports built in two different temp folders, minutes apart.
    expect(s.signed_hash, s.unsigned_hash, 'unsigned exe SHA-256 of the second build')
    expect(sha256(os.path.join(s.unsigned, EXE)), s.unsigned_hash, 'hash of the released unsigned exe')


@step('folder-and-zip')
def t_folder_and_zip(s):
    zips = []
    for folder, files in ((s.unsigned, UNSIGNED_FILES), (s.signed, SIGNED_FILES)):
        expect(set(os.listdir(folder)), files, f'files in {os.path.basename(folder)}')
        # Nothing of the staging is left beside the release.
        base = os.path.basename(folder)
        beside = {os.path.basename(kit_zip(folder)), os.path.basename(intunewin_of(folder))}
        expect(sorted(os.listdir(os.path.dirname(folder))), sorted({base, base + '.zip'} | beside),
               f'entries beside {base}')
        sums = read(os.path.join(folder, 'SHA256SUMS'), 'r').splitlines()
        # The kit's zip and the .intunewin are beside the folder, and named from inside it.
        expect(sorted(line.split('  ', 1)[1] for line in sums),
               sorted((files - {'SHA256SUMS'}) | {'../' + n for n in beside}), 'files in SHA256SUMS')
        r = run(['sha256sum', '--strict', '-c', 'SHA256SUMS'], cwd=folder)
        check(r.returncode == 0, f'sha256sum -c: {r.stdout}{r.stderr}')
        with zipfile.ZipFile(folder + '.zip') as z:
            infos = {i.filename: (i.date_time, i.external_attr, z.read(i)) for i in z.infolist()}
        expect(sorted(infos), sorted(f'{base}/{n}' for n in files), 'zip entries')
        for name in files:
            expect(infos[f'{base}/{name}'][2], read(os.path.join(folder, name)), f'{name} in the zip')
        zips.append({entry[len(base) + 1:]: info for entry, info in infos.items()})
    # Built minutes apart, yet every entry the two share other than the signed exe and its
    # checksum line is the same to the byte, with the same time and mode: nothing of the
    # moment gets in.
    for name in COMMON_FILES - {EXE, 'SHA256SUMS'} - RECORDS:
        expect(zips[1][name], zips[0][name], f'{name} entry across the two releases')


def kit_zip(folder):
    """The verification kit's zip beside a release folder."""
    version = os.path.basename(folder)[len('ppkg-launcher-'):]
    return os.path.join(os.path.dirname(folder), f'ppkg-verify-{version}.zip')


@step('verify-kit')
def t_verify_kit(s):
    for folder, signed in ((s.unsigned, False), (s.signed, True)):
        kit = kit_zip(folder)
        base = os.path.basename(kit)[:-len('.zip')]
        with zipfile.ZipFile(kit) as z:
            entries = {i.filename: (i.date_time, z.read(i)) for i in z.infolist()}
        expect(sorted(entries), sorted(f'{base}/{n}' for n in {KIT_EXE, EXE, 'README.txt'} | LEGAL_FILES),
               f'entries of {kit}')
        for name in LEGAL_FILES:
            expect(entries[f'{base}/{name}'][1], read(os.path.join(folder, name)), f'{name} in the kit')
        launcher = read(os.path.join(folder, EXE))
        expect(entries[f'{base}/{EXE}'][1], launcher, 'the launcher in the kit')
        # It checks the launcher released beside it, the signed one when the release is signed.
        kit_exe = entries[f'{base}/{KIT_EXE}'][1]
        check(hashlib.sha256(launcher).hexdigest().encode('utf-16-le') in kit_exe,
              f'{KIT_EXE} does not carry the SHA-256 of the released launcher')
        image = check_exe.PeImage(kit_exe)
        expect(bool(image.certificate_table()), signed, 'kit exe signed')
        # The bench's ways past a refusal (a stand-in launcher, a folder others may change, a
        # shared temp folder) are not in the shipped program at all.
        for text in ('BENCH BUILD', '/launcher', '/shared-temp'):
            check(text.encode('utf-16-le') not in kit_exe, f'{KIT_EXE} holds the bench build\'s {text!r}')
        readme = entries[f'{base}/README.txt'][1].decode('ascii')
        check(f'ppkg-verify {s.defs["version"]}' in readme and '\r\n' in readme, 'README.txt: version and CRLF lines')
        with zipfile.ZipFile(folder + '.zip') as z:
            release_time = z.infolist()[0].date_time
        expect({t for t, _ in entries.values()}, {release_time}, 'entry times: the commit\'s, as the release\'s')
        if signed:
            path = os.path.join(s.tmp, 'kit-' + KIT_EXE)
            with open(path, 'wb') as f:
                f.write(kit_exe)
            r = run(['osslsigncode', 'verify', '-CAfile', s.certs['ca.pem'], '-ignore-crl', '-in', path])
            check(r.returncode == 0, f'the kit exe does not verify against the test CA:\n{r.stdout[-800:]}')
    check('verification kit' in s.signed_out and 'SIGNED with the same certificate' in s.signed_out,
          f'the release does not say what it did with the kit:\n{s.signed_out}')


@step('intunewin-decodes')
def t_intunewin_decodes(s):
    """Each release's .intunewin, read as Intune would: MAC, digest and sizes hold, and the
    content is the release folder's files that run on a device, byte for byte."""
    for folder, definition in ((s.unsigned, TEMPLATE), (s.signed, DEFINITION)):
        path = intunewin_of(folder)
        try:
            info, files = decode_intunewin.decode(read(path))
        except decode_intunewin.DecodeError as e:
            raise Failure(f'{os.path.basename(path)} does not decode: {e}') from None
        expect(sorted(files), sorted(INTUNEWIN_FILES), f'files in {os.path.basename(path)}')
        for name, data in files.items():
            check(data == read(os.path.join(folder, name)), f'{name} in {os.path.basename(path)} differs from the folder\'s')
        # The definition that goes with it names the same file and setup file, and Intune
        # shows Detection.xml's name where the definition's display name goes.
        app = json.loads(read(os.path.join(folder, definition), 'r'))
        expect((app['fileName'], app['setupFilePath'], app['displayName']),
               (os.path.basename(path), info['SetupFile'], info['Name']), f'{definition} against Detection.xml')
        expect(info['SetupFile'], 'install.cmd', 'setup file')


# The preparation tool's version that the .intunewin claims: the newest that public writers of the
# format claim (README, "Building and testing").
TOOL_VERSION = '1.8.7.0'
DETECTION_HEAD = ('<ApplicationInfo xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
                  f'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" ToolVersion="{TOOL_VERSION}">\r\n'
                  '  <Name>').encode('ascii')


@step('intunewin-detection-shape')
def t_intunewin_detection_shape(s):
    """Detection.xml as the preparation tool's own files have it: ToolVersion after the two
    namespace declarations, no XML declaration or byte-order mark before the root, CRLF lines,
    the elements in the tool's order and no MsiInfo (the decoder refuses any other order or
    element)."""
    for folder in (s.unsigned, s.signed):
        data = read(intunewin_of(folder))
        with zipfile.ZipFile(io.BytesIO(data)) as z:
            xml = z.read(decode_intunewin.DETECTION)
        check(xml.startswith(DETECTION_HEAD), f'Detection.xml starts {xml[:160]!r}, want {DETECTION_HEAD!r}')
        check(xml.count(b'\n') == xml.count(b'\r\n') and not xml.endswith(b'\n'), 'Detection.xml: CRLF between lines')
        info, _ = decode_intunewin.decode(data)
        expect(info['ToolVersion'], TOOL_VERSION, 'ToolVersion')
        check(b'MsiInfo' not in xml, 'Detection.xml has MsiInfo for a package that is no MSI')


def rezip(data, entry, change):
    """The .intunewin DATA with ENTRY's bytes passed through CHANGE, every entry kept as it was."""
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as src, zipfile.ZipFile(out, 'w') as dst:
        for info in src.infolist():
            body = src.read(info)
            dst.writestr(info, change(body) if info.filename == entry else body)
    return out.getvalue()


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


def flip_in_xml(element):
    """Flips one byte of a base64 value of Detection.xml."""
    def change(xml):
        text = xml.decode('utf-8')
        m = re.search(f'<{element}>([^<]*)</{element}>', text)
        value = base64.b64encode(flip(base64.b64decode(m.group(1)), 7)).decode('ascii')
        return (text[:m.start(1)] + value + text[m.end(1):]).encode('utf-8')
    return change


ENCRYPTED = decode_intunewin.CONTENTS + 'IntunePackage.intunewin'
TAMPERED = [
    # (label, entry, change, what the refusal must say); the first proves the copying sound.
    ('untouched', ENCRYPTED, lambda b: b, None),
    ('ciphertext-byte', ENCRYPTED, lambda b: flip(b, len(b) - 40), 'MAC mismatch'),
    ('mac-byte', ENCRYPTED, lambda b: flip(b, 5), 'MAC mismatch'),
    ('detection-mac-byte', decode_intunewin.DETECTION, flip_in_xml('Mac'), 'MAC mismatch'),
    ('digest-byte', decode_intunewin.DETECTION, flip_in_xml('FileDigest'), 'digest mismatch'),
    # The shape the preparation tool gives ApplicationInfo: a file without the tool's version, or
    # with its attributes in another order, is not one it would write.
    ('no-tool-version', decode_intunewin.DETECTION, lambda b: re.sub(rb' ToolVersion="[^"]*"', b'', b),
     'ApplicationInfo has the attributes'),
    ('tool-version-first', decode_intunewin.DETECTION,
     lambda b: re.sub(rb'<ApplicationInfo (xmlns:xsd="[^"]*" xmlns:xsi="[^"]*") (ToolVersion="[^"]*")>',
                      rb'<ApplicationInfo \2 \1>', b), 'ApplicationInfo has the attributes'),
]


@step('intunewin-tampered')
def t_intunewin_tampered(s):
    original = read(intunewin_of(s.signed))
    for label, entry, change, refusal in TAMPERED:
        try:
            decode_intunewin.decode(rezip(original, entry, change))
            refused = None
        except decode_intunewin.DecodeError as e:
            refused = str(e)
        if refusal is None:
            expect(refused, None, f'{label}: the decoder refused the copy')
        else:
            check(refused and refusal in refused, f'{label}: refused with {refused!r}, want {refusal!r}')


@step('definitions-match-code')
def t_definitions(s):
    d = s.defs
    app = json.loads(read(os.path.join(s.signed, DEFINITION), 'r'))
    expect(app['@odata.type'], '#microsoft.graph.win32LobApp', 'type')
    expect((app['displayName'], app['installCommandLine'], app['uninstallCommandLine']),
           (f'{NAME} {PACKAGE_VERSION}', EXE, f'{EXE} /uninstall'), 'name and commands')
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
    check(f'if not "%code%"=="{d["exitPass"]}" exit /b %code%' in cmd, 'install.cmd does not look for PASS')
    check(f'if "%code%"=="{d["exitFail"]}" exit /b 1603' in cmd, 'install.cmd does not map FAIL to 1603')

    doc = read(os.path.join(ROOT, 'DEPLOY.md'), 'r')
    expect(read(os.path.join(s.unsigned, 'DEPLOY.md'), 'r'), doc, 'released DEPLOY.md')
    wanted = ([str(d['exitPass']), str(d['exitFail']), d['registryKey'], f'value `{d["registryValue"]}`',
               d['installCommand'], f'version {app["minimumSupportedWindowsRelease"]}']
              + d['packageIds'] + d['removalCommands'] + d['queryCommands'])
    missing = [w for w in wanted if w not in doc]
    check(not missing, f'DEPLOY.md lacks what the code defines: {missing}')


# The documented Microsoft Graph v1.0 types the Intune definition uses: for each, the properties a
# create body may set and the kind of value each takes. Server-set properties (id,
# createdDateTime, lastModifiedDateTime, publishingState, committedContentVersion, size) are
# left out: a body that sets them is wrong. Sources:
#   https://learn.microsoft.com/en-us/graph/api/resources/intune-apps-win32lobapp?view=graph-rest-1.0
#   https://learn.microsoft.com/en-us/graph/api/resources/intune-apps-win32lobappregistryrule?view=graph-rest-1.0
#   https://learn.microsoft.com/en-us/graph/api/resources/intune-apps-win32lobappinstallexperience?view=graph-rest-1.0
#   https://learn.microsoft.com/en-us/graph/api/resources/intune-apps-win32lobappreturncode?view=graph-rest-1.0
#   https://learn.microsoft.com/en-us/graph/api/resources/intune-apps-win32lobappmsiinformation?view=graph-rest-1.0
# minimumSupportedWindowsRelease is documented only as a String (the beta page's example is
# Windows11_23H2); Microsoft365DSC's IntuneMobileAppsWin32AppWindows10 resource gives its form:
# "<VersionNumber>, e.g. '1709' or '20H2'" for Windows 10, "Windows11_<VersionNumber>" for 11.
WINDOWS_RELEASES = re.compile(r'1607|1703|1709|1803|1809|1903|1909|2004|20H2|21H1|Windows1[01]_2[0-9]H[12]')
GRAPH_TYPES = {
    'microsoft.graph.win32LobApp': {
        'displayName': 'String', 'description': 'String', 'publisher': 'String',
        'largeIcon': ('object', 'microsoft.graph.mimeContent'), 'isFeatured': 'Boolean',
        'privacyInformationUrl': 'String', 'informationUrl': 'String', 'owner': 'String', 'developer': 'String',
        'notes': 'String', 'fileName': 'String', 'installCommandLine': 'String', 'uninstallCommandLine': 'String',
        'applicableArchitectures': ('flags', {'none', 'x86', 'x64', 'arm', 'neutral'}),
        'minimumFreeDiskSpaceInMB': 'Int32', 'minimumMemoryInMB': 'Int32', 'minimumNumberOfProcessors': 'Int32',
        'minimumCpuSpeedInMHz': 'Int32',
        'rules': ('list', ('object', 'microsoft.graph.win32LobAppRegistryRule')),
        'installExperience': ('object', 'microsoft.graph.win32LobAppInstallExperience'),
        'returnCodes': ('list', ('object', 'microsoft.graph.win32LobAppReturnCode')),
        'msiInformation': ('object', 'microsoft.graph.win32LobAppMsiInformation'),
        'setupFilePath': 'String', 'minimumSupportedWindowsRelease': ('pattern', WINDOWS_RELEASES),
    },
    'microsoft.graph.mimeContent': {'type': 'String', 'value': 'String'},
    'microsoft.graph.win32LobAppRegistryRule': {
        'ruleType': ('enum', {'detection', 'requirement'}), 'check32BitOn64System': 'Boolean',
        'keyPath': 'String', 'valueName': 'String',
        'operationType': ('enum', {'notConfigured', 'exists', 'doesNotExist', 'string', 'integer', 'version'}),
        'operator': ('enum', {'notConfigured', 'equal', 'notEqual', 'greaterThan', 'greaterThanOrEqual', 'lessThan',
                              'lessThanOrEqual'}),
        'comparisonValue': 'String',
    },
    'microsoft.graph.win32LobAppInstallExperience': {
        'runAsAccount': ('enum', {'system', 'user'}),
        'deviceRestartBehavior': ('enum', {'basedOnReturnCode', 'allow', 'suppress', 'force'}),
    },
    'microsoft.graph.win32LobAppReturnCode': {
        'returnCode': 'Int32', 'type': ('enum', {'failed', 'success', 'softReboot', 'hardReboot', 'retry'}),
    },
    'microsoft.graph.win32LobAppMsiInformation': {
        'productCode': 'String', 'productVersion': 'String', 'upgradeCode': 'String', 'requiresReboot': 'Boolean',
        'packageType': ('enum', {'perMachine', 'perUser', 'dualPurpose'}), 'productName': 'String',
        'publisher': 'String',
    },
}


def graph_problems(value, kind, where):
    """What in VALUE does not fit the documented KIND; empty when all of it does."""
    simple = {'String': lambda v: isinstance(v, str), 'Boolean': lambda v: isinstance(v, bool),
              'Int32': lambda v: isinstance(v, int) and not isinstance(v, bool) and -2**31 <= v < 2**31}
    if isinstance(kind, str):
        return [] if simple[kind](value) else [f'{where}: {value!r} is not a {kind}']
    form, detail = kind
    if form == 'enum':
        return [] if value in detail else [f'{where}: {value!r} is none of {sorted(detail)}']
    if form == 'flags':
        ok = isinstance(value, str) and all(v.strip() in detail for v in value.split(','))
        return [] if ok else [f'{where}: {value!r} is not a list of {sorted(detail)}']
    if form == 'pattern':
        ok = isinstance(value, str) and detail.fullmatch(value)
        return [] if ok else [f'{where}: {value!r} names no Windows release']
    if form == 'list':
        if not isinstance(value, list):
            return [f'{where}: not a list']
        return [p for i, item in enumerate(value) for p in graph_problems(item, detail, f'{where}[{i}]')]
    if not isinstance(value, dict):
        return [f'{where}: not an object']
    problems = []
    if value.get('@odata.type') != '#' + detail:
        problems.append(f'{where}: @odata.type {value.get("@odata.type")!r}, want #{detail}')
    properties = GRAPH_TYPES[detail]
    for name, item in value.items():
        if name == '@odata.type':
            continue
        if name not in properties:
            problems.append(f'{where}.{name}: not a documented property of {detail} a body may set')
        else:
            problems += graph_problems(item, properties[name], f'{where}.{name}')
    return problems


@step('definition-graph-shape')
def t_definition_graph_shape(s):
    real = read(os.path.join(s.signed, DEFINITION), 'r')
    template = read(os.path.join(s.unsigned, TEMPLATE), 'r')
    for name, text in ((DEFINITION, real), (TEMPLATE, template)):
        problems = graph_problems(json.loads(text), ('object', 'microsoft.graph.win32LobApp'), name)
        check(not problems, 'the definition does not fit the documented win32LobApp:\n' + '\n'.join(problems))
    # The template is the real file with the placeholder where the package version goes, and
    # the content named after a release made without one; nothing else: the detection rule is
    # the only place a device would see it.
    expect(template, real.replace(f'-package-{PACKAGE_VERSION}.intunewin', '.intunewin')
           .replace(PACKAGE_VERSION, release_script.VERSION_PLACEHOLDER), 'template')
    expect(json.loads(template)['rules'][0]['comparisonValue'], release_script.VERSION_PLACEHOLDER,
           'comparison value of the template')


@step('version-from-exe')
def t_version(s):
    for folder in (s.unsigned, s.signed):
        info = check_exe.PeImage(read(os.path.join(folder, EXE))).version_info()
        check(info, 'no version resource')
        version = info[2]['ProductVersion']
        expect(info[0], version + '.0', 'fixed file version')
        expect(version, s.defs['version'], 'version the definitions are built with')
        suffix = f'-package-{PACKAGE_VERSION}' if folder == s.signed else ''
        expect(os.path.basename(folder), f'ppkg-launcher-{version}{suffix}', 'folder name')
        check(os.path.isfile(folder + '.zip'), f'no {folder}.zip')
        definition = DEFINITION if folder == s.signed else TEMPLATE
        app = json.loads(read(os.path.join(folder, definition), 'r'))
        check(f'ppkg-launcher {version}' in app['description'], f'the definition names another version: {app}')
        for wrapper in ('install.cmd', 'uninstall.cmd'):
            check(f'ppkg-launcher {version}' in read(os.path.join(folder, wrapper), 'r'), f'{wrapper} version')


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
    ('password-variable-unset', 'signer.pfx', None, 'named by --password-env is not set'),
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


# A secret typed where it does not belong: as an abbreviation of --password-env, glued to it,
# or as the variable's name. Each is refused and the secret appears in no output.
NO_ECHO = [
    # (label, script, arguments after the script name, exit code, what the message must say)
    ('sign-abbreviation', 'sign', ['--pfx', 'signer.pfx', '--password', SECRET], 2, 'unrecognized option --password'),
    ('sign-abbreviation-glued', 'sign', ['--pfx', 'signer.pfx', f'--password={SECRET}'], 2,
     'unrecognized option --password'),
    ('sign-secret-as-name', 'sign', ['--pfx', 'signer.pfx', '--password-env', SECRET], 1,
     'named by --password-env is not set'),
    ('release-abbreviation', 'release', ['--pfx', 'signer.pfx', '--password', SECRET], 2,
     'unrecognized option --password'),
    ('release-secret-as-name', 'release', ['--pfx', 'signer.pfx', '--password-env', SECRET], 1,
     'named by --password-env is not set'),
    # Abbreviations are off for every option, not only the secret's.
    ('release-abbreviated-option', 'release', ['--package-ver', PACKAGE_VERSION], 2,
     'unrecognized option --package-ver'),
]


@step('no-echo')
def t_no_echo(s):
    env = dict(os.environ)
    env.pop(SECRET, None)
    for label, script, args, code, message in NO_ECHO:
        args = [s.certs[a] if a in s.certs else a for a in args]
        out = os.path.join(s.tmp, 'no-echo-' + label)
        extra = ['--out', out] if script == 'release' else [os.path.join(s.tmp, 'never-signed.exe')]
        r = run([os.path.join(ROOT, 'scripts', script), *args, *extra], env=env)
        expect(r.returncode, code, f'{label}: exit code')
        check(message in r.stderr, f'{label}: message {r.stderr.strip()!r} does not say {message!r}')
        shown = r.stdout + r.stderr
        check(not any(part in shown for part in SECRET.split()), f'{label}: the secret was shown: {shown!r}')
        check(not os.path.exists(out), f'{label}: the release wrote {out}')


def tree(folder):
    """Every entry under FOLDER with its bytes (None for a directory)."""
    found = {}
    for base, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(base, name)
            found[os.path.relpath(path, folder)] = None if os.path.isdir(path) else read(path)
    return found


def release_in_process(argv, **replace):
    """release.py's main with some of its steps replaced; returns (exit code, its output)."""
    saved = {name: getattr(release_script, name) for name in replace}
    out = io.StringIO()
    try:
        for name, fn in replace.items():
            setattr(release_script, name, fn)
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
            try:
                code = release_script.main(argv)
            except SystemExit as e:   # the argument parser's refusals
                code = e.code
    finally:
        for name, fn in saved.items():
            setattr(release_script, name, fn)
    return code, out.getvalue()


def never(*_):
    raise Failure('the release got past its checks')


def kit_stand_in(staging, src, folder, d, *_):
    """A stand-in for the kit's own build: an empty zip under the name the release gives it."""
    version = os.path.basename(folder)[len('ppkg-launcher-'):]
    open(os.path.join(staging, f'ppkg-verify-{version}.zip'), 'wb').close()
    return 'not built in this check'


def without_builds(s):
    """release.py's steps that build, replaced: the unsigned release's exe stands for the build,
    and an empty zip for the kit (a failure before or after it takes the same way out)."""
    built = os.path.join(s.tmp, 'in-process-built.exe')
    if not os.path.exists(built):
        shutil.copyfile(os.path.join(s.unsigned, EXE), built)
    return {'build': lambda src, log: built, 'read_definitions': lambda src, work, log: s.defs,
            'stage_kit': kit_stand_in, **without_link_records(s)}


def without_link_records(s):
    """release.py's steps that read the build's link maps, replaced by what the unsigned release
    holds: its notices, and no SBOM or statement (they need the kit's real build)."""
    legal = {name: read(os.path.join(s.unsigned, name)) for name in sorted(LEGAL_FILES)}
    linked = thirdparty.Linked(components=[], own={}, notices=[], texts={}, extra_texts=[], terms={}, inputs={})
    return {'third_party': lambda src, d: (linked, legal), 'stage_records': lambda *args: None}


def failing_second_move():
    """os.replace that fails when the second entry of the release moves into place."""
    real, calls = os.replace, []

    def replace(src, dst):
        if '.staging-' in src and '.previous-' not in dst:
            calls.append(dst)
            if len(calls) == 2:
                raise OSError(28, 'No space left on device (injected)')
        return real(src, dst)
    return replace


@step('staging')
def t_staging(s):
    """A release that fails at any point leaves the previous one in place, byte for byte, and
    nothing else beside it."""
    before_build = {'export_head': never, 'build': never}
    fake_build = without_builds(s)
    signer = ['--pfx', s.certs['signer.pfx'], '--password-env', PASSWORD_ENV]
    cases = [
        # (label, password in the environment, arguments, steps replaced, whether a move into
        #  place fails, what the output must say)
        ('wrong-password-before-build', 'not the password', signer, before_build, False, 'wrong password'),
        ('untrusted-chain-before-build', PASSWORD, ['--pfx', s.certs['self.pfx'], '--password-env', PASSWORD_ENV],
         before_build, False, 'does not verify'),
        # No time-stamp server answers there: signing fails after the build.
        ('signing-fails-after-build', PASSWORD, signer + ['--timestamp', 'http://127.0.0.1:9/'], fake_build, False,
         'signing failed'),
        ('second-move-fails', PASSWORD, [], fake_build, True, 'could not move the release'),
    ]
    real_replace = os.replace
    for label, password, args, replace, fail_move, message in cases:
        out = os.path.join(s.tmp, 'staging-' + label)
        previous = os.path.join(out, os.path.basename(s.signed))
        shutil.copytree(s.signed, previous)
        shutil.copyfile(s.signed + '.zip', previous + '.zip')
        before = tree(out)
        os.environ[PASSWORD_ENV] = password
        try:
            if fail_move:
                os.replace = failing_second_move()
            code, output = release_in_process([*args, '--out', out, '--name', NAME], **replace)
        finally:
            os.replace = real_replace
            os.environ.pop(PASSWORD_ENV)
        expect(code, 1, f'{label}: exit code')
        check(message in output, f'{label}: output does not say {message!r}:\n{output}')
        expect(tree(out), before, f'{label}: what the output folder holds')


def package_refusals(d, real):
    """(label, --package path, what the refusal must say), each path made in D; REAL is a
    sound package for a link to point at."""
    cases = []
    for label, name, data, message in (('other-name', 'package.ppkg', b'x', 'the launcher reads only'),
                                       ('other-case', PACKAGE.lower(), b'x', 'the launcher reads only'),
                                       ('empty', PACKAGE, b'', 'is empty')):
        path = os.path.join(d, label, name)
        os.makedirs(os.path.dirname(path))
        with open(path, 'wb') as f:
            f.write(data)
        cases.append((label, path, message))
    link = os.path.join(d, 'link', PACKAGE)
    os.makedirs(os.path.dirname(link))
    os.symlink(real, link)
    folder = os.path.join(d, 'directory', PACKAGE)
    os.makedirs(folder)
    return cases + [('link', link, 'is a link'), ('directory', folder, 'is not a regular file'),
                    ('missing', os.path.join(d, 'missing', PACKAGE), 'No such file')]


@step('package-option')
def t_package_option(s):
    """--package: a wrong file is refused before anything is built or written; without the
    option no .intunewin and the reason; with it, the same bytes as the release made from a
    clean export, so nothing of the moment or of chance gets in (the keys included)."""
    for label, path, message in package_refusals(os.path.join(s.tmp, 'refused-packages'), s.package):
        out = os.path.join(s.tmp, 'package-' + label)
        code, output = release_in_process(['--package', path, '--out', out, '--name', NAME],
                                          export_head=never, build=never)
        expect(code, 1, f'{label}: exit code')
        check(message in output, f'{label}: output does not say {message!r}:\n{output}')
        check(not os.path.exists(out), f'{label}: the release wrote {out}')

    out = os.path.join(s.tmp, 'package-none')
    code, output = release_in_process(['--out', out, '--name', NAME], **without_builds(s))
    expect(code, 0, 'exit code without --package')
    check('no .intunewin: no package file given' in output, f'the release does not say why:\n{output}')
    expect([n for n in os.listdir(out) if n.endswith('.intunewin')], [], '.intunewin files without --package')

    out = os.path.join(s.tmp, 'package-again')
    code, output = release_in_process(['--package', s.package, '--out', out, '--name', NAME], **without_builds(s))
    expect(code, 0, f'exit code with --package:\n{output}')
    again = intunewin_of(os.path.join(out, os.path.basename(s.unsigned)))
    check(read(again) == read(intunewin_of(s.unsigned)), 'the same files gave another .intunewin')


@step('side-by-side')
def t_side_by_side(s):
    """Releases for two package versions, made into one folder, stand side by side with their
    own kits, and their definitions tell them apart by name; a package version that could name
    another folder is refused before anything is made."""
    fake_build = without_builds(s)
    out = os.path.join(s.tmp, 'side-by-side')
    names = {}
    for version in ('1.0.2', '1.0.3'):
        code, output = release_in_process(['--out', out, '--name', NAME, '--package-version', version], **fake_build)
        expect(code, 0, f'release for {version}:\n{output}')
        folder = os.path.join(out, f'ppkg-launcher-{s.defs["version"]}-package-{version}')
        check(os.path.isdir(folder) and os.path.isfile(folder + '.zip'), f'no release folder and zip for {version}')
        check(os.path.isfile(kit_zip(folder)), f'no kit beside the release for {version}')
        names[version] = json.loads(read(os.path.join(folder, DEFINITION), 'r'))['displayName']
    expect(names, {'1.0.2': f'{NAME} 1.0.2', '1.0.3': f'{NAME} 1.0.3'}, 'display names')
    expect(len(os.listdir(out)), 6, f'entries in {out}: {sorted(os.listdir(out))}')
    for bad in ('../../escape', '1.0/2', '', '-1'):
        before = tree(out)
        code, output = release_in_process(['--out', out, '--package-version', bad], **fake_build)
        expect(code, 2, f'--package-version {bad!r}: exit code')
        check('it names the release folder' in output, f'--package-version {bad!r}: {output}')
        expect(tree(out), before, f'--package-version {bad!r}: what the output folder holds')
    # A rollback made under a name of its own for a version already released there: refused,
    # after the build, before anything is written; the original of that version stays.
    before = tree(out)
    code, output = release_in_process(['--out', out, '--name', NAME + ' (rollback)', '--package-version', '1.0.2'],
                                      **fake_build)
    expect(code, 1, f'a second release of 1.0.2 into the same folder: exit code\n{output}')
    check('a release never replaces another' in output, f'a second release of 1.0.2: {output}')
    expect(tree(out), before, 'what the output folder holds after the second release of 1.0.2')


# Characters the wrappers cannot take in their folder's path (DEPLOY.md, "Scripts and systems that
# accept only 0"): an output folder that holds one is refused before anything is made.
WRAPPER_UNSAFE_OUT = [('percent', 'out%PATH%x'), ('bang', 'out!PATH!x')]


@step('out-refusals')
def t_out_refusals(s):
    for label, name in WRAPPER_UNSAFE_OUT:
        out = os.path.join(s.tmp, name, 'release')
        code, output = release_in_process(['--out', out, '--name', NAME], export_head=never, build=never)
        expect(code, 2, f'{label}: exit code')
        check('the wrappers cannot run from' in output, f'{label}: {output}')
        check(not os.path.exists(os.path.dirname(out)), f'{label}: the release wrote {out}')
    # --help names them too (argparse formats help with %, so a bare one there would break it).
    code, output = release_in_process(['--help'])
    expect(code, 0, f'--help: exit code\n{output}')
    check('never one whose path holds % or !' in ' '.join(output.split()), f'--help: {output}')


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


# ---- licence, notices, SBOM, provenance -----------------------------------------------------

PROGRAMS = release_script.PROGRAMS
VALIDATOR = os.path.join(HERE, 'sbom-validator')


def in_tree_maps():
    """{program: link map text} of this tree's windows build, which links what the releases link."""
    maps = {}
    for program in PROGRAMS:
        path = release_script.link_map(ROOT, program)
        check(os.path.isfile(path), f'no {path}: build the windows preset first')
        maps[program] = read(path, 'r')
    return maps


def resolved(maps):
    return thirdparty.resolve({p: linkmap.inputs(text) for p, text in maps.items()},
                              os.path.join(ROOT, 'build', 'windows'), ROOT)


@step('legal-files')
def t_legal_files(s):
    """LICENSE is the repository's, and THIRD-PARTY-NOTICES.txt is what this tree's own link maps
    give: every library they show, with its package, licence and copyright file."""
    for folder in (s.unsigned, s.signed):
        expect(read(os.path.join(folder, 'LICENSE')), read(os.path.join(ROOT, 'LICENSE')), 'released LICENSE')
    linked = resolved(in_tree_maps())
    expect(read(os.path.join(s.unsigned, notices.NAME), 'r'), notices.text(linked, s.defs['version'], PROGRAMS),
           'the notices against those of the in-tree link maps')
    text = read(os.path.join(s.unsigned, notices.NAME), 'r')
    for c in linked.components:
        check(f'Debian package {c.package} {c.version}' in text and c.path in text, f'{c.file} not in the notices')
    for _, path, body in linked.notices:
        check(body in text, f'{path} is not in the notices whole')


# ld's two ways of writing an included member (the reason on the same line after a short name,
# on the next after a long one), object files linked whole, and what is no input of its own.
LINK_MAP = """Archive member included to satisfy reference by file (symbol)

libshort.a(a.o)               main.obj (f)
/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libstdc++.a(cow-string-inst.o)
                              main.obj (std::string)
libshort.a(a.o)               other.obj (g)

Discarded input sections

 .text          0x0000000000000000        0x0 main.obj

Linker script and memory map

LOAD /usr/x86_64-w64-mingw32/lib/crt2u.o
LOAD main.obj
LOAD /usr/x86_64-w64-mingw32/lib/libkernel32.a
LOAD dll stuff
"""


@step('link-map-reader')
def t_link_map_reader(s):
    expect(linkmap.inputs(LINK_MAP),
           [('libshort.a', 'a.o'), ('/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libstdc++.a', 'cow-string-inst.o'),
            ('/usr/x86_64-w64-mingw32/lib/crt2u.o', None), ('main.obj', None)], 'inputs of the map')
    try:
        linkmap.inputs('not a map')
        check(False, 'a text without a memory map was read as a map')
    except linkmap.LinkMapError:
        pass


def with_member(map_text, archive, member):
    """MAP_TEXT with one more archive member taken in, as ld writes it."""
    heading = linkmap.MEMBERS_HEADING + '\n\n'
    return map_text.replace(heading, f'{heading}{archive}({member})\n{" " * 30}WinMain.cpp.obj (injected)\n', 1)


# A member the link could pull in one day, for which no notice can be found.
NO_NOTICE = [
    # (label, archive, member, what the refusal must say); the first shows the fixture sound.
    ('as-linked', None, None, None),
    ('no-package', '/opt/vendor/lib/libvendor.a', 'vendor.o', 'no installed Debian package holds'),
    ('no-rule-for-library', '/usr/lib/gcc/x86_64-w64-mingw32/12-win32/libquadmath.a', 'fmodq.o',
     'no rule says which of its licences covers libquadmath.a'),
    # getopt.c: a licence the copyright file names without a text of its own.
    ('licence-without-text', '/usr/x86_64-w64-mingw32/lib/libmingwex.a', 'lib64_libmingwex_a-getopt.o',
     'names the licence BSD-2-clause-NetBSD and ISC of mingw-w64-crt/misc/getopt.c without its text'),
    # strtok_r.c: a licence with a text, but nobody has read what it asks of a binary yet.
    ('licence-not-read', '/usr/x86_64-w64-mingw32/lib/libmingwex.a', 'lib64_libmingwex_a-strtok_r.o',
     'no statement of what LicenseRef-mingw-w64-BSD-3-clause asks of a binary distribution'),
]


@step('notice-missing')
def t_notice_missing(s):
    """A release whose link took in a member without a notice stops before anything is staged,
    says which member and why, and leaves the output folder as it was."""
    maps = in_tree_maps()
    built = os.path.join(s.tmp, 'notice-built.exe')
    shutil.copyfile(os.path.join(s.unsigned, EXE), built)
    real_export = release_script.export_head
    for label, archive, member, refusal in NO_NOTICE:
        def export(dest, archive=archive, member=member):
            # The committed tree, with the maps its build would write.
            real_export(dest)
            os.makedirs(os.path.join(dest, 'build', 'windows'))
            for program, text in maps.items():
                if archive and program == EXE:
                    text = with_member(text, archive, member)
                with open(release_script.link_map(dest, program), 'w') as f:
                    f.write(text)
        out = os.path.join(s.tmp, 'notice-' + label)
        code, output = release_in_process(['--out', out, '--name', NAME], export_head=export,
                                          build=lambda src, log: built,
                                          read_definitions=lambda src, work, log: s.defs,
                                          stage_kit=kit_stand_in,
                                          stage_records=lambda *args: None)
        if refusal is None:
            expect(code, 0, f'{label}: exit code:\n{output}')
            continue
        expect(code, 1, f'{label}: exit code')
        check(refusal in output and member in output, f'{label}: output does not say {refusal!r}:\n{output}')
        expect(tree(out), {}, f'{label}: what the output folder holds')


def sbom_validator():
    """The CycloneDX project's own validator (tests/release/sbom-validator), installed from the npm
    registry into build/ at the versions its lock file pins, once per lock file."""
    target = os.path.join(ROOT, 'build', 'sbom-validator')
    lock = read(os.path.join(VALIDATOR, 'package-lock.json'))
    if not (os.path.isdir(os.path.join(target, 'node_modules'))
            and os.path.isfile(os.path.join(target, 'package-lock.json'))
            and read(os.path.join(target, 'package-lock.json')) == lock):
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        for name in ('package.json', 'package-lock.json'):
            shutil.copyfile(os.path.join(VALIDATOR, name), os.path.join(target, name))
        r = run(['npm', 'ci', '--omit=optional', '--prefer-offline', '--no-audit', '--no-fund'], cwd=target)
        check(r.returncode == 0, f'npm ci: {r.stdout[-1500:]}{r.stderr[-1500:]}')
    shutil.copyfile(os.path.join(VALIDATOR, 'validate.js'), os.path.join(target, 'validate.js'))
    return os.path.join(target, 'validate.js')


def validate_sbom(validator, path):
    r = run(['node', validator, path])
    return r.returncode, (r.stdout + r.stderr).strip()


def libraries(bom):
    """{(program, library file, member)} and {(program, library file): component} of a BOM."""
    found, by_file = set(), {}
    for program in bom['components']:
        for c in program['components']:
            by_file[(program['name'], c['name'])] = c
            members = [p['value'] for p in c['properties'] if p['name'] == sbom.PROPERTY + 'member']
            found |= {(program['name'], c['name'], m) for m in members or [None]}
    return found, by_file


@step('sbom')
def t_sbom(s):
    """The SBOM validates (CycloneDX 1.5, strict, licence expressions against the SPDX lists), names
    every library member each in-tree link map shows with the package that holds it, and carries
    the released programs' real hashes; a spoilt copy does not validate."""
    validator = sbom_validator()
    maps = {p: linkmap.inputs(text) for p, text in in_tree_maps().items()}
    # Straight from the maps: every input outside this tree, by library file name and member.
    shown = {(p, os.path.basename(path), member) for p, inputs in maps.items() for path, member in inputs
             if not os.path.realpath(os.path.join(ROOT, 'build', 'windows', path)).startswith(ROOT + os.sep)}
    check(shown, 'the link maps show nothing from others')
    packages = {}   # installed file: (package, version), asked of dpkg once each
    for folder, signed in ((s.unsigned, False), (s.signed, True)):
        path = os.path.join(folder, sbom.NAME)
        code, output = validate_sbom(validator, path)
        expect((code, output), (0, 'valid'), f'validation of {os.path.basename(folder)}/{sbom.NAME}')
        bom = json.loads(read(path))
        found, by_file = libraries(bom)
        expect(sorted(found, key=str), sorted(shown, key=str), 'library members in the SBOM against the link maps')
        for c in by_file.values():
            props = {p['name'][len(sbom.PROPERTY):]: p['value'] for p in c['properties']}
            installed = props['installed-file']
            if installed not in packages:
                package = run(['dpkg-query', '-S', installed]).stdout.split(':')[0]
                packages[installed] = (package, run(['dpkg-query', '-W', '-f=${Version}', package]).stdout)
            expect((props['debian-package'], c['version']), packages[installed], f'package of {installed}')
            check(c['purl'].startswith('pkg:deb/debian/'), f'purl {c["purl"]}')
        kit = kit_zip(folder)
        with zipfile.ZipFile(kit) as z:
            kit_exe = z.read(f'{os.path.basename(kit)[:-len(".zip")]}/{KIT_EXE}')
        hashes = {c['name']: c['hashes'][0]['content'] for c in bom['components']}
        expect(hashes, {EXE: sha256(os.path.join(folder, EXE)), KIT_EXE: hashlib.sha256(kit_exe).hexdigest()},
               'hashes of the released programs')
        before = [p['value'] for p in bom['components'][0]['properties'] if p['name'].endswith('sha256-before-signing')]
        expect(before, [s.unsigned_hash], 'launcher SHA-256 before signing')
        stamp = run(['git', '-C', ROOT, 'log', '-1', '--format=%ct', 'HEAD']).stdout.strip()
        expect(bom['metadata']['timestamp'], time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(int(stamp))),
               'SBOM time: the commit\'s')
        expect(signed, hashes[EXE] != s.unsigned_hash, 'hash of a signed exe differs from the unsigned one')
    # The validator is no rubber stamp: a hash that is no hash and a licence no list has fail it.
    bom = json.loads(read(os.path.join(s.unsigned, sbom.NAME)))
    spoilt = [('hash', lambda b: b['components'][0]['hashes'][0].update(content='not a hash'), 'hash-content'),
              ('licence', lambda b: b['components'][0]['components'][0].update(
                  licenses=[{'expression': 'GPL-3.0-or-later WITH No-such-exception'}]), 'licence expression')]
    for label, spoil, message in spoilt:
        copy = json.loads(json.dumps(bom))
        spoil(copy)
        path = os.path.join(s.tmp, f'spoilt-{label}.json')
        with open(path, 'w') as f:
            json.dump(copy, f)
        code, output = validate_sbom(validator, path)
        check(code == 1 and message in output, f'spoilt {label}: validator said {code} {output[:400]}')


@step('provenance')
def t_provenance(s):
    """The statement of the first release against the second, built again from a clean export of
    the same commit (the rebuild a reader would make): same commit, commands, toolchain and launcher
    bytes, all as this machine has them; a statement that lies about any of them is caught."""
    first, second = (provenance.parse(read(os.path.join(f, provenance.NAME), 'r')) for f in (s.unsigned, s.signed))
    expect(provenance.compare(first, second), [], 'the rebuild against the first statement')
    expect(first['source-commit'], [run(['git', '-C', ROOT, 'rev-parse', 'HEAD']).stdout.strip()], 'commit')
    expect(first['sha256-ppkg-launcher.exe'], [s.unsigned_hash], 'launcher hash')
    versions = {line.split()[0]: line.split()[1] for line in first['toolchain']}
    for package, version in versions.items():
        expect(run(['dpkg-query', '-W', '-f=${Version}', package]).stdout, version, f'version of {package}')
    check({'g++-mingw-w64-x86-64-win32', 'binutils-mingw-w64-x86-64', 'mingw-w64-x86-64-dev'} <= set(versions),
          f'toolchain: {sorted(versions)}')
    with zipfile.ZipFile(kit_zip(s.unsigned)) as z:
        kit_exe = z.read(f'{os.path.basename(kit_zip(s.unsigned))[:-len(".zip")]}/{KIT_EXE}')
    expect(first['sha256-ppkg-verify.exe'], [hashlib.sha256(kit_exe).hexdigest()], 'unsigned kit hash')
    expect((first['signed'], second['signed']), (['no'], ['yes']), 'signed')
    lies = [('launcher-hash', 'sha256-ppkg-launcher.exe', ['0' * 64]),
            ('toolchain-version', 'toolchain', [first['toolchain'][0] + '.1'] + first['toolchain'][1:]),
            ('commit', 'source-commit', ['1' * 40])]
    for label, key, value in lies:
        lie = os.path.join(s.tmp, f'lie-{label}.txt')
        text = read(os.path.join(s.unsigned, provenance.NAME), 'r')
        for old, new in zip(first[key], value):
            text = text.replace(f'{key}: {old}\n', f'{key}: {new}\n')
        with open(lie, 'w') as f:
            f.write(text)
        r = run([sys.executable, os.path.join(ROOT, 'release', 'provenance.py'), lie,
                 os.path.join(s.signed, provenance.NAME)])
        check(r.returncode == 1 and f'provenance: {key}:' in r.stdout, f'{label}: {r.returncode} {r.stdout}')
    r = run([sys.executable, os.path.join(ROOT, 'release', 'provenance.py'), os.path.join(s.unsigned, provenance.NAME),
             os.path.join(s.signed, provenance.NAME)])
    check(r.returncode == 0 and 'the rebuild confirms the statement' in r.stdout, f'honest: {r.stdout}')


# ---- under Wine ------------------------------------------------------------------------------

def wine_checks(s, keyword):
    """The signed exe through the bench's own cases, then the wrappers through cmd.exe."""
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
        # Where the wrappers are started from: a wrapper that ran the launcher by name would
        # find this one when its own folder has none.
        shutil.copyfile(os.path.join(s.bench, 'decoy.exe'), wine.c(EXE))
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
        for case in WRAPPER_CASES:
            if keyword in case[0]:
                results.append(attempt(case[0], lambda case=case: t_wrapper(s, bench, *case)))
        for case in DELAYED_EXPANSION_CASES:
            if keyword in case[0]:
                results.append(attempt(case[0], lambda case=case: t_wrapper(
                    s, bench, *case, switches='/v:on ', below=DELAYED_EXPANSION_FOLDER)))
        if keyword in 'verify-kit-runs':
            results.append(attempt('verify-kit-runs', lambda: t_verify_kit_runs(s, bench)))
    finally:
        wine.stop()
        shutil.rmtree(root, ignore_errors=True)
    return results


# cmd.exe's special characters in the folder above each wrapper, as in "Program Files (x86)".
# Not %: Wine's cmd expands a % in %~dp0 again, and the release refuses such a folder (Windows
# unconfirmed).
HOSTILE_FOLDER = 'rel&ease (x86) ^!;,=@'


def wrapper_folder(s, bench, name, launcher, below=''):
    """A copy of the signed release inside the prefix, below a folder whose name holds cmd.exe's
    special characters (and BELOW), holding the package file and LAUNCHER (or no exe at all) as
    ppkg-launcher.exe."""
    folder = bench.wine.c(HOSTILE_FOLDER, below, name)
    shutil.copytree(s.signed, folder)
    os.remove(os.path.join(folder, EXE))
    if launcher:
        shutil.copyfile(launcher, os.path.join(folder, EXE))
    with open(os.path.join(folder, e2e.PACKAGE_FILE), 'wb') as f:
        f.write(b'PK\x05\x06' + b'\0' * 18)
    return folder


def run_wrapper(bench, case, folder, script, args, switches=''):
    """SCRIPT through the prefix's cmd.exe, started in another folder as a deployment system
    would, in the form DEPLOY.md gives: cmd.exe /c ""PATH" "ARG"", whose outer quotes cmd.exe
    takes away whatever the path holds, after SWITCHES; returns its full exit code."""
    w = bench.wine
    out = os.path.join(case.dir, 'exit.txt')
    tmp = case.tmp_win.rstrip('\\')
    line = switches + '/c ""' + w.win(os.path.join(folder, script)) + '"' + ''.join(f' "{a}"' for a in args) + '"'
    w.run(w.win(w.c('benchtools', 'runner.exe')), w.win(out), '--env', 'TMP=' + tmp, '--env', 'TEMP=' + tmp,
          '--env', 'PPKG_BENCH_STORE=' + w.win(case.store.path), '--cwd', 'C:\\', '--timeout', '60000',
          '--raw', '--', r'C:\windows\system32\cmd.exe', line)
    check(os.path.exists(out), 'runner wrote no exit code')
    m = re.fullmatch(r'exit=(\d+)', read(out, 'r').strip())
    check(m, f'cmd.exe did not run to the end: {read(out, "r")!r}')
    return int(m.group(1))


def registry_value(bench, case, d):
    w = bench.wine
    out = os.path.join(case.dir, 'reg.txt')
    w.run(w.win(w.c('benchtools', 'regread.exe')), w.win(out), d['registryKey'].split('\\', 1)[1], d['registryValue'])
    return read(out, 'r').strip()


OLDER_VERSION = '1.0.1'
# provtool's stand-in takes a version without blanks; the one with blanks is seeded as a record.
HOSTILE_VERSION = '1.0&(x)^!;'
HOSTILE_SPACED = '2.0 & ver (x) | y'
# Each wrapper runs from a folder below HOSTILE_FOLDER, through cmd.exe started in C:\, where a
# decoy ppkg-launcher.exe waits for a wrapper that runs the launcher by name.
# The launcher beside it is the signed one, runner.exe (which answers 2 when started without
# arguments: a code that is neither PASS nor FAIL nor 0 nor 1) or none at all.
WRAPPER_CASES = [
    # (label, wrapper, its arguments, launcher, record before, packages that survive removal,
    #  package provtool applies, exit code, whether the launcher ran, record after)
    ('install-cmd[pass-to-0]', 'install.cmd', [], 'signed', None, [], PACKAGE_VERSION, 0, True, PACKAGE_VERSION),
    ('install-cmd[fail-to-1603]', 'install.cmd', [], 'signed', None, [], None, 1603, True, None),
    ('install-cmd[other-code-passes]', 'install.cmd', [], 'runner', None, [], None, 2, None, None),
    ('install-cmd[missing-exe]', 'install.cmd', [], None, None, [], None, 9009, None, None),
    # The version guard: only a record equal to the version given skips the launcher.
    ('install-cmd[same-version-skips]', 'install.cmd', [PACKAGE_VERSION], 'signed', PACKAGE_VERSION, [],
     PACKAGE_VERSION, 0, False, PACKAGE_VERSION),
    ('install-cmd[other-version-runs]', 'install.cmd', [PACKAGE_VERSION], 'signed', OLDER_VERSION, [],
     PACKAGE_VERSION, 0, True, PACKAGE_VERSION),
    # ... and what it installed is still not the version asked for.
    ('install-cmd[prefix-of-record-runs]', 'install.cmd', ['1.0'], 'signed', PACKAGE_VERSION, [], PACKAGE_VERSION,
     1603, True, PACKAGE_VERSION),
    # Wine's reg.exe prints its "unable to find" text on standard output: it must not count.
    ('install-cmd[no-record-runs]', 'install.cmd', [PACKAGE_VERSION], 'signed', None, [], PACKAGE_VERSION, 0, True,
     PACKAGE_VERSION),
    ('install-cmd[guard-then-fail-to-1603]', 'install.cmd', [PACKAGE_VERSION], 'signed', OLDER_VERSION, [], None,
     1603, True, None),
    # After a PASS the record decides: an old package kept by a refused removal is not the
    # version asked for; the same version kept is.
    ('install-cmd[kept-old-package-1603]', 'install.cmd', [PACKAGE_VERSION], 'signed', OLDER_VERSION,
     [OLDER_VERSION], PACKAGE_VERSION, 1603, True, OLDER_VERSION),
    ('install-cmd[kept-same-version-0]', 'install.cmd', [PACKAGE_VERSION], 'signed', None, [PACKAGE_VERSION],
     None, 0, True, PACKAGE_VERSION),
    # Versions that hold cmd.exe's special characters are compared, never run.
    ('install-cmd[hostile-version-installs]', 'install.cmd', [HOSTILE_VERSION], 'signed', None, [], HOSTILE_VERSION,
     0, True, HOSTILE_VERSION),
    ('install-cmd[hostile-version-skips]', 'install.cmd', [HOSTILE_SPACED], 'signed', HOSTILE_SPACED, [], None, 0,
     False, HOSTILE_SPACED),
    ('uninstall-cmd[0]', 'uninstall.cmd', [], 'signed', PACKAGE_VERSION, [], None, 0, True, None),
    # 1 arrives only if cmd.exe waited for the windowed launcher and kept its code.
    ('uninstall-cmd[1]', 'uninstall.cmd', [], 'signed', PACKAGE_VERSION, [PACKAGE_VERSION], None, 1, True,
     PACKAGE_VERSION),
    ('uninstall-cmd[other-code-passes]', 'uninstall.cmd', [], 'runner', None, [], None, 2, None, None),
    ('uninstall-cmd[missing-exe]', 'uninstall.cmd', [], None, None, [], None, 9009, None, None),
]
# The same wrappers under delayed expansion, as cmd /v:on, or the DelayedExpansion registry value
# for the machine or the user, sets it for every cmd.exe: from below HOSTILE_FOLDER and a folder
# whose ! pair names a variable that is not set. A wrapper that left delayed expansion on read its
# own path as !x! and answered 9009 without starting the launcher.
DELAYED_EXPANSION_FOLDER = 'bang!x!y'
DELAYED_EXPANSION_CASES = [
    ('install-cmd[delayed-expansion]', 'install.cmd', [HOSTILE_VERSION], 'signed', OLDER_VERSION, [], HOSTILE_VERSION,
     0, True, HOSTILE_VERSION),
    ('install-cmd[delayed-expansion-skips]', 'install.cmd', [HOSTILE_SPACED], 'signed', HOSTILE_SPACED, [], None, 0,
     False, HOSTILE_SPACED),
    ('uninstall-cmd[delayed-expansion]', 'uninstall.cmd', [], 'signed', PACKAGE_VERSION, [], None, 0, True, None),
]


def t_wrapper(s, bench, label, script, args, launcher, seed, survivors, applies, want_exit, want_ran, want_record,
              switches='', below=''):
    exe = {'signed': os.path.join(s.signed, EXE), 'runner': os.path.join(s.bench, 'runner.exe'), None: None}[launcher]
    folder = wrapper_folder(s, bench, re.sub(r'\W+', '-', label).strip('-'), exe, below)
    c = bench.case(seed=seed)
    if applies:
        c.store.apply((e2e.ID1, applies))
    for version in survivors:
        c.store.add(e2e.ID1, version, removable=False)
    expect(run_wrapper(bench, c, folder, script, args, switches), want_exit, f'{script} exit')
    ran = e2e.decoys_ran(bench.wine)
    check(not ran, f"a launcher outside the wrapper's folder ran: {ran}")
    if want_ran is not None:
        expect(bool(c.store.log()), want_ran, f'launcher ran (commands: {c.store.log()})')
    if want_ran and script == 'install.cmd' and not survivors:
        check(e2e.PROVTOOL_LINE in c.store.log(), f'the package was not applied from its folder: {c.store.log()}')
    if launcher == 'signed':
        # The key and value the definitions name are the ones the exe writes and the guard reads.
        expect(registry_value(bench, c, s.defs), e2e.reg_sz(want_record) if want_record else 'absent-key',
               'record afterwards')


def t_verify_kit_runs(s, bench):
    """The signed release's kit, unpacked as an administrator would, takes its signed launcher and
    then refuses the folder, as it refuses every folder under Wine (whose lists let its own user
    change every level): exit 3 and the closing line that says nothing was checked."""
    folder = bench.wine.c('kit')
    with zipfile.ZipFile(kit_zip(s.signed)) as z:
        z.extractall(folder)
    [inner] = os.listdir(folder)
    folder = os.path.join(folder, inner)
    c = bench.case(clear_registry=False)
    code, headers, results, closing = e2e.run_verify(bench, c, os.path.join(folder, KIT_EXE), folder)
    digest = sha256(os.path.join(s.signed, EXE))
    check(any(h.endswith(f'{EXE} SHA-256 {digest}') for h in headers), f'launcher hash: {headers}')
    check(f'ppkg-verify: built beside the launcher with SHA-256 {digest}' in headers, f'embedded hash: {headers}')
    e2e.expect_refused(code, results, headers, closing, e2e.FOLDER_REFUSAL)


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
        s.package = make_package(os.path.join(s.tmp, 'package'))
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
