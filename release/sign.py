#!/usr/bin/env python3
"""Signs a Windows exe in place with SHA-256 Authenticode (osslsigncode), then verifies it.

    scripts/sign --pfx FILE [--password-env NAME] [--timestamp URL] [--ca-file PEM] [EXE]

EXE defaults to dist/ppkg-launcher.exe. The .pfx password is read from the environment
variable NAME (no NAME: the .pfx has no password) and reaches openssl and osslsigncode on
their standard input, never on a command line; a name that is not set is not repeated in the
message, in case a password was typed there. Before signing, the certificate must carry the
code-signing purpose, be valid now and chain to the CA certificates it is verified against.
The signed copy is written beside EXE and verified (against --ca-file, else the CA
certificates inside the .pfx, else the system's list); only then does it replace EXE, so a
failure leaves EXE as it was. Time-stamping (RFC 3161) is off unless a URL is given, and an
untimestamped signature stops validating when the certificate expires.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli  # noqa: E402  (beside this file)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
DEFAULT_EXE = os.path.join(ROOT, 'dist', 'ppkg-launcher.exe')
TIMESTAMP_HELP = ('RFC 3161 time-stamp server. Without one the signature stops validating when the '
                  'certificate expires; with one it keeps validating after that')
NO_TIMESTAMP = 'not time-stamped: the signature stops validating when the certificate expires'


class SignError(Exception):
    pass


def run(argv, secret=None):
    """Runs ARGV with SECRET (if any) on its standard input; output is captured as text."""
    return subprocess.run(argv, input=secret, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, check=False)


def first_line(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[0] if lines else 'no message'


def pfx_certificates(pfx, password, password_from, which, out):
    """Writes the .pfx's leaf (-clcerts) or CA (-cacerts) certificates to OUT as PEM."""
    for legacy in ([], ['-legacy']):
        r = run(['openssl', 'pkcs12', '-in', pfx, '-passin', 'stdin', '-nokeys', which, '-out', out] + legacy,
                password + '\n')
        if r.returncode == 0:
            return
        message = r.stderr.lower()
        if 'mac verify' in message or 'invalid password' in message:
            raise SignError(f'wrong password for {pfx} ({password_from})')
    # Older .pfx files use ciphers only the legacy provider reads; both attempts failed.
    raise SignError(f'cannot read {pfx} as a PKCS#12 (.pfx) file: {first_line(r.stderr)}')


def holds_certificate(pem):
    with open(pem, encoding='ascii', errors='replace') as f:
        return 'BEGIN CERTIFICATE' in f.read()


def check_certificate(leaf):
    """The leaf must be for code signing and valid now; returns its subject."""
    if not holds_certificate(leaf):
        raise SignError('the .pfx holds no certificate with a private key')
    subject = first_line(run(['openssl', 'x509', '-in', leaf, '-noout', '-subject', '-nameopt', 'oneline']).stdout)
    subject = subject.removeprefix('subject=').strip()
    usage = run(['openssl', 'x509', '-in', leaf, '-noout', '-ext', 'extendedKeyUsage']).stdout
    if 'Code Signing' not in usage:
        purposes = ', '.join(line.strip() for line in usage.splitlines()[1:] if line.strip()) or 'none stated'
        raise SignError(f'certificate "{subject}" is not for code signing: its extended key usage is '
                        f'{purposes}; Windows accepts Authenticode signatures only from a certificate '
                        'with the Code Signing purpose')
    if run(['openssl', 'x509', '-in', leaf, '-noout', '-checkend', '0']).returncode != 0:
        end = first_line(run(['openssl', 'x509', '-in', leaf, '-noout', '-enddate']).stdout)
        raise SignError(f'certificate "{subject}" has expired ({end})')
    return subject


def leaf_sha256(leaf):
    der = subprocess.run(['openssl', 'x509', '-in', leaf, '-outform', 'DER'], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, check=True).stdout
    return hashlib.sha256(der).hexdigest()


class Certificate:
    """What check_pfx found: the leaf's subject and PEM file, and what the signature is verified
    against (a PEM file, or None for the system's list) with words for messages."""

    def __init__(self, subject, leaf, ca_file, ca_from):
        self.subject, self.leaf, self.ca_file, self.ca_from = subject, leaf, ca_file, ca_from


def password_from_env(name):
    """The password held by the environment variable NAME and words for messages; no NAME, no
    password. An unset NAME is not repeated: a password typed in its place would be shown."""
    if not name:
        return '', 'no password given'
    if name not in os.environ:
        raise SignError('the environment variable named by --password-env is not set (the name is not '
                        'shown, in case a password was typed in its place)')
    return os.environ[name], f'password from ${name}'


def check_pfx(pfx, password, password_from, ca_file, work):
    """Everything about the certificate that can fail, before anything is built or signed: the
    file, the password, the purpose, the dates and the chain. PEM copies go to WORK."""
    if not os.path.isfile(pfx):
        raise SignError(f'no .pfx file at {pfx}')
    if ca_file and not os.path.isfile(ca_file):
        raise SignError(f'no CA file at {ca_file}')
    leaf = os.path.join(work, 'leaf.pem')
    cas = os.path.join(work, 'ca.pem')
    pfx_certificates(pfx, password, password_from, '-clcerts', leaf)
    subject = check_certificate(leaf)
    pfx_certificates(pfx, password, password_from, '-cacerts', cas)
    in_pfx = holds_certificate(cas)
    if ca_file:
        ca_from = ca_file
    elif in_pfx:
        ca_file, ca_from = cas, 'the CA certificates in the .pfx'
    else:
        ca_from = "the system's CA list"
    # The same chain the signed copy is verified against later, so that a certificate no one
    # vouches for is refused now rather than after a build.
    argv = ['openssl', 'verify'] + (['-CAfile', ca_file] if ca_file else []) + (
        ['-untrusted', cas] if in_pfx else []) + [leaf]
    r = run(argv)
    if r.returncode != 0:
        raise SignError(f'certificate "{subject}" does not verify against {ca_from}: '
                        f'{first_line(r.stderr + r.stdout)}. Pass --ca-file with your organisation\'s '
                        'root certificate if the .pfx carries no chain.')
    return Certificate(subject, leaf, ca_file, ca_from)


def sign(exe, pfx, password, password_from, timestamp=None, ca_file=None):
    """Signs EXE in place; returns a one-line account of what was done."""
    if not os.path.isfile(exe):
        raise SignError(f'no file to sign at {exe}')

    # Beside EXE, so that the final rename stays on one file system.
    work = tempfile.mkdtemp(prefix='.signing-', dir=os.path.dirname(os.path.abspath(exe)))
    try:
        cert = check_pfx(pfx, password, password_from, ca_file, work)
        signed = os.path.join(work, os.path.basename(exe))
        argv = ['osslsigncode', 'sign', '-pkcs12', pfx, '-h', 'sha256', '-in', exe, '-out', signed]
        if password:
            argv[4:4] = ['-readpass', '-']
        if timestamp:
            argv += ['-ts', timestamp]
        r = run(argv, password if password else None)
        if r.returncode != 0 or not os.path.isfile(signed):
            raise SignError(f'osslsigncode could not sign {exe}: {first_line(r.stderr + r.stdout)}')

        verify = ['osslsigncode', 'verify', '-in', signed, '-ignore-crl',
                  '-require-leaf-hash', 'sha256:' + leaf_sha256(cert.leaf)]
        if cert.ca_file:
            verify += ['-CAfile', cert.ca_file]
        r = run(verify)
        if r.returncode != 0:
            lines = [line for line in (r.stdout + r.stderr).splitlines() if line.strip()]
            tail = '\n'.join('    ' + line for line in lines[-4:])
            raise SignError(f'the signed copy does not verify against {cert.ca_from}; {exe} is left unsigned. '
                            f'Pass --ca-file with your organisation\'s root certificate if the .pfx '
                            f'carries no chain.\n{tail}')

        shutil.copymode(exe, signed)
        os.replace(signed, exe)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    stamp = f'time-stamped by {timestamp}' if timestamp else NO_TIMESTAMP
    return f'signed {exe} (SHA-256 Authenticode) with "{cert.subject}"; verified against {cert.ca_from}; {stamp}'


def add_signing_options(ap, pfx_required, pfx_help):
    """The options scripts/sign and scripts/release share."""
    ap.add_argument('--pfx', required=pfx_required, help=pfx_help)
    ap.add_argument('--password-env', metavar='NAME',
                    help='name of the environment variable holding the .pfx password (never the password)')
    ap.add_argument('--timestamp', metavar='URL', help=TIMESTAMP_HELP + ' (default: none)')
    ap.add_argument('--ca-file', metavar='PEM', help='root certificate(s) to verify the signature against')


def main(argv=None):
    ap = cli.ArgumentParser(prog='sign', description=__doc__.splitlines()[0])
    ap.add_argument('exe', nargs='?', default=DEFAULT_EXE, help='exe to sign in place (default: dist/ppkg-launcher.exe)')
    add_signing_options(ap, True, 'PKCS#12 file holding the code-signing certificate and its key')
    opts = ap.parse_args(argv)
    try:
        password, password_from = password_from_env(opts.password_env)
        print('sign: ' + sign(opts.exe, opts.pfx, password, password_from, opts.timestamp, opts.ca_file))
    except SignError as e:
        print(f'sign: {e}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
