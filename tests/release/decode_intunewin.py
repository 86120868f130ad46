"""Reads an Intune Win32 app file (.intunewin) as Intune would, to check what the release wrote.

Written from the public descriptions of the format, not from the release's writer, and sharing
no code with it (its AES is openssl's command, its HMAC and SHA-256 Python's own):
  - Microsoft Graph, fileEncryptionInfo (learn.microsoft.com/graph/api/resources/
    intune-apps-fileencryptioninfo): IV 16 bytes; mac "the hash of the concatenation of the IV
    and encrypted file content", 32 bytes, keyed by macKey (32 bytes); fileDigest "the file
    digest prior to encryption", SHA256 for ProfileVersion1, the only profile.
  - Microsoft Graph, mobileAppContentFile: size before encryption, sizeEncrypted after.
  - microsoftgraph/powershell-intune-samples, LOB_Application/Win32_Application_Add.ps1:
    Detection.xml's ApplicationInfo and EncryptionInfo elements feed the commit; the uploaded
    file is the entry named by FileName; its size is UnencryptedContentSize.
  - svrooij/ContentPrep, src/SvR.ContentPrep/Encryptor.cs and Packager.cs: the encrypted file
    is the 32-byte MAC, then the IV, then AES-256-CBC (PKCS7) ciphertext; the entries sit under
    IntuneWinPackage/Contents and IntuneWinPackage/Metadata; ApplicationInfo carries the tool's
    version as its ToolVersion attribute (Models/ApplicationInfo.cs).
  - svrooij/WingetIntune, tests/WingetIntune.Tests/Intune/IntuneMetadataTests.cs: a copy of a
    Detection.xml the preparation tool wrote, whose root declares xmlns:xsd, then xmlns:xsi,
    then ToolVersion, in that order, with no XML declaration before it.

    python3 tests/release/decode_intunewin.py FILE.intunewin   prints what it holds
"""

import base64
import hashlib
import hmac
import io
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
import xml.parsers.expat
import zipfile

CONTENTS = 'IntuneWinPackage/Contents/'
DETECTION = 'IntuneWinPackage/Metadata/Detection.xml'
APPLICATION_ATTRIBUTES = [('xmlns:xsd', 'http://www.w3.org/2001/XMLSchema'),
                          ('xmlns:xsi', 'http://www.w3.org/2001/XMLSchema-instance'), ('ToolVersion', None)]
APPLICATION_ORDER = ['Name', 'UnencryptedContentSize', 'FileName', 'SetupFile', 'EncryptionInfo']
ENCRYPTION_ORDER = ['EncryptionKey', 'MacKey', 'InitializationVector', 'Mac', 'ProfileIdentifier', 'FileDigest',
                    'FileDigestAlgorithm']
BINARY_SIZES = {'EncryptionKey': 32, 'MacKey': 32, 'InitializationVector': 16, 'Mac': 32, 'FileDigest': 32}


class DecodeError(Exception):
    pass


def need(cond, msg):
    if not cond:
        raise DecodeError(msg)


def root_attributes(data):
    """The root element's attributes as written, namespace declarations included, in their order."""
    found = []
    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True

    def start(name, attributes):
        if not found:
            found.append(list(zip(attributes[0::2], attributes[1::2])))
    parser.StartElementHandler = start
    try:
        parser.Parse(data, True)
    except xml.parsers.expat.ExpatError as e:
        raise DecodeError(f'Detection.xml is not XML: {e}') from None
    return found[0]


def read_detection(data):
    """Detection.xml's values; binary ones decoded. The root's attributes and the elements in the
    order the preparation tool writes them, no others."""
    attributes = root_attributes(data)
    names, wanted = [a for a, _ in attributes], [a for a, _ in APPLICATION_ATTRIBUTES]
    need(names == wanted, f'ApplicationInfo has the attributes {names}, want {wanted}')
    for (name, value), (_, want) in zip(attributes, APPLICATION_ATTRIBUTES):
        need(want is None or value == want, f'{name} is {value!r}, want {want!r}')
    tool_version = dict(attributes)['ToolVersion']
    need(re.fullmatch(r'\d+\.\d+\.\d+\.\d+', tool_version),
         f'ToolVersion {tool_version!r} is not a four-part version')
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        raise DecodeError(f'Detection.xml is not XML: {e}') from None
    need(root.tag == 'ApplicationInfo', f'root element {root.tag!r}, want ApplicationInfo in no namespace')
    need([c.tag for c in root] == APPLICATION_ORDER, f'ApplicationInfo holds {[c.tag for c in root]}')
    values = {c.tag: (c.text or '') for c in root if c.tag != 'EncryptionInfo'}
    values['ToolVersion'] = tool_version
    encryption = root.find('EncryptionInfo')
    need([c.tag for c in encryption] == ENCRYPTION_ORDER, f'EncryptionInfo holds {[c.tag for c in encryption]}')
    for child in encryption:
        text = child.text or ''
        if child.tag in BINARY_SIZES:
            try:
                value = base64.b64decode(text, validate=True)
            except ValueError:
                raise DecodeError(f'{child.tag} is not base64: {text!r}') from None
            need(len(value) == BINARY_SIZES[child.tag], f'{child.tag} is {len(value)} bytes, want {BINARY_SIZES[child.tag]}')
            values[child.tag] = value
        else:
            values[child.tag] = text
    need(values['ProfileIdentifier'] == 'ProfileVersion1', f'profile {values["ProfileIdentifier"]!r}')
    need(values['FileDigestAlgorithm'] == 'SHA256', f'digest algorithm {values["FileDigestAlgorithm"]!r}')
    need(values['UnencryptedContentSize'].isdigit(), f'size {values["UnencryptedContentSize"]!r}')
    values['UnencryptedContentSize'] = int(values['UnencryptedContentSize'])
    return values


def aes_256_cbc_decrypt(key, iv, ciphertext):
    r = subprocess.run(['openssl', 'enc', '-d', '-aes-256-cbc', '-K', key.hex(), '-iv', iv.hex()],
                       input=ciphertext, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    need(r.returncode == 0, f'AES-256-CBC decryption failed (padding): {r.stderr.decode(errors="replace").strip()}')
    return r.stdout


def decode(data):
    """The bytes of a .intunewin: returns (Detection.xml's values, {name: bytes} of the content),
    or raises DecodeError naming the first thing that is wrong."""
    try:
        outer = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as e:
        raise DecodeError(f'not a zip: {e}') from None
    with outer:
        names = outer.namelist()
        need(DETECTION in names, f'no {DETECTION} among {names}')
        info = read_detection(outer.read(DETECTION))
        content = CONTENTS + info['FileName']
        need(sorted(names) == sorted([content, DETECTION]), f'entries {names}, want {content} and {DETECTION}')
        encrypted = outer.read(content)

    need(len(encrypted) >= 32 + 16 + 16 and (len(encrypted) - 48) % 16 == 0,
         f'the encrypted file is {len(encrypted)} bytes: not MAC, IV and whole AES blocks')
    stored_mac, iv, ciphertext = encrypted[:32], encrypted[32:48], encrypted[48:]
    need(iv == info['InitializationVector'], 'the IV in the file is not the InitializationVector')
    # The MAC before anything is decrypted, compared in constant time.
    mac = hmac.new(info['MacKey'], iv + ciphertext, hashlib.sha256).digest()
    need(hmac.compare_digest(mac, stored_mac), 'MAC mismatch: the MAC at the head of the file does not verify')
    need(hmac.compare_digest(mac, info['Mac']), 'MAC mismatch: Detection.xml\'s Mac does not verify')
    plain = aes_256_cbc_decrypt(info['EncryptionKey'], iv, ciphertext)
    need(len(plain) == info['UnencryptedContentSize'],
         f'{len(plain)} bytes decrypted, UnencryptedContentSize says {info["UnencryptedContentSize"]}')
    need(hmac.compare_digest(hashlib.sha256(plain).digest(), info['FileDigest']),
         'digest mismatch: FileDigest is not the SHA-256 of the decrypted content')

    try:
        inner = zipfile.ZipFile(io.BytesIO(plain))
    except zipfile.BadZipFile as e:
        raise DecodeError(f'the decrypted content is not a zip: {e}') from None
    with inner:
        need(inner.testzip() is None, 'a file in the decrypted zip fails its CRC')
        files = {i.filename: inner.read(i) for i in inner.infolist() if not i.is_dir()}
    need(info['SetupFile'] in files, f'the setup file {info["SetupFile"]} is not in the content')
    return info, files


def main():
    with open(sys.argv[1], 'rb') as f:
        info, files = decode(f.read())
    for key in ['ToolVersion'] + APPLICATION_ORDER[:-1]:
        print(f'{key}: {info[key]}')
    for name, data in sorted(files.items()):
        print(f'  {hashlib.sha256(data).hexdigest()}  {len(data):>10}  {name}')


if __name__ == '__main__':
    try:
        main()
    except DecodeError as e:
        print(f'decode_intunewin: {e}', file=sys.stderr)
        sys.exit(1)
