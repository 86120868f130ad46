"""Writes an Intune Win32 app file (.intunewin) from files of a folder, without Windows.

The layout, as the content preparation tool writes it and Microsoft Graph takes it:

    outer zip, entries stored (not compressed):
      IntuneWinPackage/Contents/IntunePackage.intunewin   MAC (32) | IV (16) | AES-256-CBC ciphertext
      IntuneWinPackage/Metadata/Detection.xml             ApplicationInfo: the names, the sizes and
                                                          the EncryptionInfo Graph's commit takes

The encrypted file's plaintext is a zip of the files (deflated, names relative to the folder);
the ciphertext is PKCS7-padded; the MAC is HMAC-SHA256 over IV and ciphertext; FileDigest is the
SHA-256 of the plaintext zip. All cryptography is python3-cryptography's.

Keys are derived from the plaintext (HKDF-SHA256): the same files give the same bytes, so a
release stays byte-reproducible. The file carries its own keys in Detection.xml, so they protect
only the encrypted part once it is uploaded, where Intune keeps the keys apart from it.
"""

import base64
import hashlib
import os
import shutil
import tempfile
import time
import zipfile
from xml.sax.saxutils import escape

from cryptography.hazmat.primitives import hashes, hmac, padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.hkdf import HKDFExpand

CONTENT_ENTRY = 'IntuneWinPackage/Contents/IntunePackage.intunewin'
DETECTION_ENTRY = 'IntuneWinPackage/Metadata/Detection.xml'
ENCRYPTED_NAME = 'IntunePackage.intunewin'
PROFILE = 'ProfileVersion1'
DIGEST_ALGORITHM = 'SHA256'
# The preparation tool writes its own version on ApplicationInfo, and the admin center reads it (it
# warns of files "packaged using an older version of the tool"). 1.8.7 is the tool's release of
# August 2025; from that month a public writer that claimed 1.4.0.0 and declared no namespaces had
# its files refused (no cause was named). Public writers claim 1.4.0.0 to 1.8.7.0: this is the
# newest (README, "Building and testing", compares the writers).
TOOL_VERSION = '1.8.7.0'
# HKDF's salt and labels: fixed, so that the keys depend on the content alone.
KEY_SALT = b'ppkg-launcher intunewin content keys'
CHUNK = 1 << 20


class IntunewinError(Exception):
    pass


def _content_zip(folder, names, stamp, out):
    """The files NAMES of FOLDER as a zip at OUT: fixed order, time and attributes, nothing of
    the machine or the moment, as the preparation tool would take them from a folder."""
    date_time = time.gmtime(stamp)[:6]
    with zipfile.ZipFile(out, 'w') as z:
        for name in sorted(names):
            info = zipfile.ZipInfo(name, date_time=date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            # MS-DOS attributes, none set. zipfile stores 0o600 << 16 (?rw-------) in place of
            # a 0, in the word that only Unix-made entries use: fixed bytes all the same.
            info.create_system = 0
            info.external_attr = 0
            # The size beforehand lets zipfile choose zip64 for a file that needs it.
            info.file_size = os.path.getsize(os.path.join(folder, name))
            with open(os.path.join(folder, name), 'rb') as src, z.open(info, 'w') as dst:
                shutil.copyfileobj(src, dst, CHUNK)


def _chunks(path):
    with open(path, 'rb') as f:
        while True:
            block = f.read(CHUNK)
            if not block:
                return
            yield block


def _derive_keys(plain):
    """HKDF-SHA256 over the plaintext zip (extract: HMAC with a fixed salt, read in chunks;
    expand: one label per value). The published FileDigest is a different function of the
    content, so it does not give the keys away."""
    extract = hmac.HMAC(KEY_SALT, hashes.SHA256())
    for block in _chunks(plain):
        extract.update(block)
    prk = extract.finalize()

    def expand(label, length):
        return HKDFExpand(hashes.SHA256(), length, label).derive(prk)
    return expand(b'encryption key', 32), expand(b'mac key', 32), expand(b'iv', 16)


def _encrypt(plain, out):
    """PLAIN (a file) encrypted to OUT as MAC | IV | ciphertext; returns the EncryptionInfo
    values and the plaintext's size."""
    key, mac_key, iv = _derive_keys(plain)
    digest = hashlib.sha256()
    size = 0
    encryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    padder = padding.PKCS7(128).padder()
    mac = hmac.HMAC(mac_key, hashes.SHA256())
    mac.update(iv)
    with open(out, 'wb') as f:
        f.write(bytes(32))  # the MAC's place, written last
        f.write(iv)
        for block in _chunks(plain):
            digest.update(block)
            size += len(block)
            data = encryptor.update(padder.update(block))
            mac.update(data)
            f.write(data)
        data = encryptor.update(padder.finalize()) + encryptor.finalize()
        mac.update(data)
        f.write(data)
        tag = mac.finalize()
        f.seek(0)
        f.write(tag)
    return {'EncryptionKey': key, 'MacKey': mac_key, 'InitializationVector': iv, 'Mac': tag,
            'FileDigest': digest.digest()}, size


def _detection_xml(name, size, setup_file, info):
    """Detection.xml in the shape of the preparation tool's own files (as published samples of
    them show): no XML declaration and no byte-order mark; the root in no namespace, declaring
    the xsd and xsi prefixes (as .NET's serializer does; never used) and then ToolVersion;
    elements in this order, binary values in base64, two-space indents, CRLF line ends; no
    MsiInfo, which the tool writes only for an MSI. README ("Building and testing") compares it
    with the public writers."""
    for text in (name, setup_file):
        if any(ord(c) < 0x20 for c in text):
            raise IntunewinError(f'{text!r} holds a control character, which XML cannot carry')

    def b64(value):
        return base64.b64encode(value).decode('ascii')
    lines = ['<ApplicationInfo xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
             f'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" ToolVersion="{TOOL_VERSION}">',
             f'  <Name>{escape(name)}</Name>',
             f'  <UnencryptedContentSize>{size}</UnencryptedContentSize>',
             f'  <FileName>{ENCRYPTED_NAME}</FileName>',
             f'  <SetupFile>{escape(setup_file)}</SetupFile>',
             '  <EncryptionInfo>',
             f'    <EncryptionKey>{b64(info["EncryptionKey"])}</EncryptionKey>',
             f'    <MacKey>{b64(info["MacKey"])}</MacKey>',
             f'    <InitializationVector>{b64(info["InitializationVector"])}</InitializationVector>',
             f'    <Mac>{b64(info["Mac"])}</Mac>',
             f'    <ProfileIdentifier>{PROFILE}</ProfileIdentifier>',
             f'    <FileDigest>{b64(info["FileDigest"])}</FileDigest>',
             f'    <FileDigestAlgorithm>{DIGEST_ALGORITHM}</FileDigestAlgorithm>',
             '  </EncryptionInfo>',
             '</ApplicationInfo>']
    return '\r\n'.join(lines).encode('utf-8')


def write(folder, names, setup_file, name, out, stamp):
    """Writes OUT (.intunewin) holding the files NAMES of FOLDER, SETUP_FILE among them, with
    NAME as the application's name and STAMP (seconds since the epoch) as every entry's time."""
    if setup_file not in names:
        raise IntunewinError(f'the setup file {setup_file} is not among the files wrapped')
    work = tempfile.mkdtemp(prefix='.intunewin-', dir=os.path.dirname(os.path.abspath(out)))
    try:
        plain = os.path.join(work, 'content.zip')
        encrypted = os.path.join(work, ENCRYPTED_NAME)
        _content_zip(folder, names, stamp, plain)
        info, size = _encrypt(plain, encrypted)
        os.remove(plain)
        date_time = time.gmtime(stamp)[:6]
        with zipfile.ZipFile(out, 'w') as z:
            for entry, source in ((CONTENT_ENTRY, encrypted), (DETECTION_ENTRY, None)):
                item = zipfile.ZipInfo(entry, date_time=date_time)
                item.compress_type = zipfile.ZIP_STORED
                item.create_system = 0
                item.external_attr = 0  # stored as 0o600 << 16, as above
                if source is None:
                    z.writestr(item, _detection_xml(name, size, setup_file, info))
                    continue
                item.file_size = os.path.getsize(source)
                with open(source, 'rb') as src, z.open(item, 'w') as dst:
                    shutil.copyfileobj(src, dst, CHUNK)
    finally:
        shutil.rmtree(work, ignore_errors=True)
