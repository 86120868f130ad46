#!/usr/bin/env python3
"""Signs a Windows exe in place with SHA-256 Authenticode (osslsigncode), then verifies it.

    scripts/sign --pfx FILE [--password-env NAME] [--timestamp URL] [--ca-file PEM] [EXE]

EXE defaults to dist/ppkg-launcher.exe. The .pfx password is read from the environment
variable NAME (no NAME: the .pfx has no password) and reaches openssl and osslsigncode on
their standard input, never on a command line. Before signing, the certificate must carry the
code-signing purpose and be valid now. The signed copy is written beside EXE and verified
(against --ca-file, else the CA certificates inside the .pfx, else the system's list); only
then does it replace EXE, so a failure leaves EXE as it was. Time-stamping (RFC 3161) is off
unless a URL is given.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
DEFAULT_EXE = os.path.join(ROOT, 'dist', 'ppkg-launcher.exe')


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


def sign(exe, pfx, password, password_from, timestamp=None, ca_file=None):
    """Signs EXE in place; returns a one-line account of what was done."""
    if not os.path.isfile(exe):
        raise SignError(f'no file to sign at {exe}')
    if not os.path.isfile(pfx):
        raise SignError(f'no .pfx file at {pfx}')
    if ca_file and not os.path.isfile(ca_file):
        raise SignError(f'no CA file at {ca_file}')

    # Beside EXE, so that the final rename stays on one file system.
    work = tempfile.mkdtemp(prefix='.signing-', dir=os.path.dirname(os.path.abspath(exe)))
    try:
        leaf = os.path.join(work, 'leaf.pem')
        cas = os.path.join(work, 'ca.pem')
        pfx_certificates(pfx, password, password_from, '-clcerts', leaf)
        subject = check_certificate(leaf)
        pfx_certificates(pfx, password, password_from, '-cacerts', cas)
        if not ca_file and holds_certificate(cas):
            ca_file, ca_from = cas, 'the CA certificates in the .pfx'
        elif ca_file:
            ca_from = ca_file
        else:
            ca_from = "the system's CA list"

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
                  '-require-leaf-hash', 'sha256:' + leaf_sha256(leaf)]
        if ca_file:
            verify += ['-CAfile', ca_file]
        r = run(verify)
        if r.returncode != 0:
            lines = [line for line in (r.stdout + r.stderr).splitlines() if line.strip()]
            tail = '\n'.join('    ' + line for line in lines[-4:])
            raise SignError(f'the signed copy does not verify against {ca_from}; {exe} is left unsigned. '
                            f'Pass --ca-file with your organisation\'s root certificate if the .pfx '
                            f'carries no chain.\n{tail}')

        shutil.copymode(exe, signed)
        os.replace(signed, exe)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    stamp = f', time-stamped by {timestamp}' if timestamp else ', not time-stamped'
    return f'signed {exe} (SHA-256 Authenticode) with "{subject}"{stamp}; verified against {ca_from}'


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument('exe', nargs='?', default=DEFAULT_EXE, help='exe to sign in place (default: dist/ppkg-launcher.exe)')
    ap.add_argument('--pfx', required=True, help='PKCS#12 file holding the code-signing certificate and its key')
    ap.add_argument('--password-env', metavar='NAME', help='environment variable holding the .pfx password')
    ap.add_argument('--timestamp', metavar='URL', help='RFC 3161 time-stamp server (default: none)')
    ap.add_argument('--ca-file', metavar='PEM', help='root certificate(s) to verify the signature against')
    opts = ap.parse_args(argv)

    password, password_from = '', 'no password given'
    if opts.password_env:
        if opts.password_env not in os.environ:
            print(f'sign: the environment variable {opts.password_env} is not set', file=sys.stderr)
            return 2
        password, password_from = os.environ[opts.password_env], f'password from ${opts.password_env}'
    try:
        print('sign: ' + sign(opts.exe, opts.pfx, password, password_from, opts.timestamp, opts.ca_file))
    except SignError as e:
        print(f'sign: {e}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
