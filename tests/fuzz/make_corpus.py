#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Each seed is one typical input, encoded the way its target reads its bytes: the real report
layout, temp folders and code pages met in the field, command lines callers pass, and report
paths over the kinds of entry the writer must tell apart. Run it again after changing a
target's input layout; the files it writes are committed.
"""

import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, 'corpus')
IDS = ['4c7d2a00-91e3-4b58-a6f2-3d05c1e8b94f', '4c7d2a11-91e3-4b58-a6f2-3d05c1e8b940']


def utf16(text, bom=True):
    return (b'\xff\xfe' if bom else b'') + text.encode('utf-16-le')


def listing(installed, version, package_id=IDS[0], name='Norv CML PPM', end='\r\n'):
    """The cmdlet's formatted output as PowerShell's redirection writes it."""
    return utf16(end + f'PackageId       : {package_id}{end}PackageName     : {name}{end}'
                 f'IsInstalled     : {installed}{end}Version         : {version}{end}{end}{end}')


def presence_report():
    return {
        'true': listing('True', '10.0.1.3'),
        'false': listing('False', '2.0'),
        'second_id': listing('True', '10.0.1.4', package_id=IDS[1]),
        'bare_lf': listing('True', '10.0.1.3', end='\n'),
        'version_in_name': listing('TRUE', '7', name='Versioned: Norv'),
        'longest_version': listing('True', '9' * 254),
        'too_long_version': listing('True', '9' * 255),
        'other_value': listing('Maybe', '1'),
        'bom_only': b'\xff\xfe',
        'empty': b'',
        'no_bom': utf16('IsInstalled     : True\r\nVersion : 1\r\n', bom=False),
        'reservation_marker': b'ppkg-launcher: reserved\r\n',
        'odd_length': listing('True', '1.0') + b'\x00',
    }


def code_page(kind):
    """The code page prefix of a query command seed."""
    if kind == 'utf8':
        return bytes([0])
    if kind == '1252':   # no lead bytes; the typographic quotes 0x91, 0x92 and 0x82
        return bytes([1, 0, 3, 0x91, 0x92, 0x82])
    if kind == '932':    # lead bytes 0x81..0x9F and 0xE0..0xFC; U+2018 and U+2019 as 0x81 0x65, 0x81 0x66
        return bytes([1, 2, 0x81 - 0x81, 0x9F - 0x81, 0xE0 - 0x81, 0xFC - 0xE0, 2, 0x81, 0x65 - 0x40, 0x81, 0x66 - 0x40])
    raise ValueError(kind)


def query_command():
    seeds = {
        'temp_1252': ('1252', b'C:\\Temp\\'),
        'user_temp': ('1252', b'C:\\Users\\admin\\AppData\\Local\\Temp\\'),
        'short_name': ('1252', b'C:\\Users\\ADMINI~1\\AppData\\Local\\Temp\\'),
        'system_temp': ('1252', b'C:\\Windows\\SystemTemp\\'),
        'blanks': ('1252', b'C:\\Documents and Settings\\Ann Lee\\Local Settings\\Temp\\'),
        'apostrophe': ('1252', b"C:\\Users\\Ann O'Neil\\AppData\\Local\\Temp\\"),
        'typographic_quotes': ('1252', b'C:\\Users\\\x91Ann\x92 \x82x\\Temp\\'),
        'metacharacters': ('1252', b'C:\\Users\\a$b;c(d)&e`f{g}@h#i\\Temp\\'),
        'unc': ('1252', b'\\\\server\\share\\tmp\\'),
        'sjis_backslash_trail': ('932', b'C:\\Users\\\x95\x5c\x8e\x9a\\Temp\\'),
        'sjis_quote': ('932', b"C:\\Users\\\x81\x65x\x81\x66 '\\Temp\\"),
        'utf8_accent': ('utf8', 'C:\\Users\\Zoë\\AppData\\Local\\Temp\\'.encode()),
        'utf8_quote': ('utf8', 'C:\\Users\\O’Neil ‘x‛\\Temp\\'.encode()),
    }
    out = {}
    for name, (kind, folder) in seeds.items():
        out[name] = code_page(kind) + bytes([0]) + struct.pack('<H', 0x1a2b) + folder
    return out


def command_line(text):
    """ASCII as itself; any other unit as 0x80 and its two bytes."""
    out = bytearray()
    for ch in text:
        out += bytes([ord(ch)]) if ord(ch) < 0x80 else b'\x80' + struct.pack('<H', ord(ch))
    return bytes(out)


def dispatch():
    lines = {
        'empty': '',
        'uninstall': '/uninstall',
        'uninstall_operand': '/uninstall x',
        'uninstall_three': '/uninstall a b',
        'uninstall_capitals': '/UNINSTALL',
        'uninstall_quoted': '"/uninstall"x',
        'uninstall_trailing_quote': '/uninstall"',
        'status': '/getstatus C:\\out\\status.txt',
        'status_blanks': '/getstatus "C:\\a b\\status.txt"',
        'status_alone': '/getstatus',
        'status_empty_operand': '/getstatus ""',
        'status_two_paths': '/getstatus a b',
        'status_split_keyword': '/get"status a',
        'status_escapes': '/getstatus "C:\\x\\\\" \\"y',
        'status_wide': '/getstatus C:\\Zoë\\s.txt',
        'program_path': 'C:\\bench\\ppkg-launcher.exe',
        'leading_blank': ' /uninstall',
    }
    return {name: command_line(text) for name, text in lines.items()}


# The status report target's path pieces, in its table order; then one arbitrary unit, a NUL,
# and the end of a path.
PIECES = ['C:', '\\', '/', 'a', 'b', 'out', '..', '.', '\\\\server\\share', 'r.txt', 'work', 'Temp', 'x y',
          '*', ':', 'D:', '\\\\server', 'C:\\', 'Windows', 'new', 'p.dat', '~ppkg-launcher-1.tmp']
MAX_PIECES = 12
RAW_UNIT, NUL, END = len(PIECES), len(PIECES) + 1, 0xFF
KINDS = ['Directory', 'ReadOnlyDirectory', 'File', 'SecondName', 'FileLink', 'DirectoryLink', 'MountPoint',
         'OtherDirectory', 'OtherFile', 'WineLink', 'OtherLink', 'ReadOnlyFile']
# Who owns an entry: a standard user, Administrators, the system, TrustedInstaller, or
# Administrators with a list that lets users change it, delete it, or delete what it holds.
OWNERS = ['user', 'admins', 'system', 'installer', 'admins-users-write', 'admins-users-delete',
          'admins-users-delete-child']
CALLS = ['OpenRoot', 'OpenChild', 'QueryHandle', 'CreateChildDirectory', 'CreateChildFile', 'DeviceLink',
         'QueryName', 'ReadAccessList', 'MarkForDeletion', 'WriteBytes', 'FlushFile', 'RenameInto',
         'CurrentDirectory', 'DriveDirectory', 'QueryVolume', 'WriteAccessList']
# What drive D is: a CD, a remote volume, the multiple UNC provider, C:\out made a drive with subst,
# or a share mapped to it.
DRIVES = ['cd', 'remote', 'mup', 'subst', 'mapped']
TEXTS = ['Version=10.0.1.3\n', 'Not installed\n', '', 'Version=\xe9\n', 'Version=1\0tail']


def path(text):
    out = bytearray()
    i = pieces = 0
    while i < len(text):
        for length in range(min(len(text) - i, max(map(len, PIECES))), 0, -1):
            if text[i:i + length] in PIECES:
                out.append(PIECES.index(text[i:i + length]))
                i += length
                break
        else:
            out += bytes([RAW_UNIT]) + struct.pack('<H', ord(text[i]))
            i += 1
        pieces += 1
    assert pieces <= MAX_PIECES, text
    return bytes(out) + bytes([END])


def entry(kind, at, target='', owner='user'):
    return bytes([KINDS.index(kind), OWNERS.index(owner)]) + path(at) + path(target)


def status(report, entries=(), fail_create=(), swap=None, text=0, administrator=True, fault=None,
           write_fails=False, descriptor_fails=False, drive_d=None, junction_in_place=False, in_the_folder=False):
    """entries: (kind, path, target[, owner]), a SecondName's target its second name; swap: (at
    call, kind, path, target[, owner]), or with junction_in_place the path made a junction to the
    target; fault: (call name, which call from 1); drive_d: one of DRIVES; in_the_folder: an open
    through a held folder that became a junction is made in it, not refused."""
    flags = ((0 if administrator else 1) | (2 if swap else 0) | (4 if fault else 0) |
             (8 if write_fails else 0) | (16 if descriptor_fails else 0) | (32 if drive_d else 0) |
             (64 if junction_in_place else 0) | (128 if in_the_folder else 0))
    out = bytearray([flags])
    if write_fails:
        out.append(12)
    if drive_d:
        out.append(DRIVES.index(drive_d))
    if fault:
        out += bytes([CALLS.index(fault[0]), fault[1] - 1])
    out.append(text)
    out += path(report)
    out.append(len(entries))
    for e in entries:
        out += entry(*e)
    out.append(len(fail_create))
    for at in fail_create:
        out += path(at)
    if swap:
        out += bytes([swap[0]]) + entry(*swap[1:])
    return bytes(out)


def status_report():
    out_dir = ('Directory', 'C:\\out', '')
    protected = ('File', 'C:\\Windows\\p.dat', '')
    windows = ('Directory', 'C:\\Windows', '')
    return {
        'existing_directory': status('C:\\out\\r.txt', [out_dir]),
        'missing_directories': status('C:\\a\\b\\r.txt'),
        'bare_name': status('r.txt'),
        'forward_slashes': status('C:/out/r.txt', [out_dir], text=1),
        'mixed_separators': status('C:\\a/b/r.txt'),
        'dot_dot': status('C:\\a\\..\\b\\r.txt', [out_dir]),
        'unc': status('\\\\server\\share\\a\\r.txt', [('Directory', '\\\\server\\share', '')]),
        'existing_report': status('C:\\out\\r.txt', [out_dir, ('File', 'C:\\out\\r.txt', '')]),
        'file_link': status('C:\\out\\r.txt', [out_dir, protected, ('FileLink', 'C:\\out\\r.txt', 'C:\\Windows\\p.dat')]),
        'dangling_link': status('C:\\out\\r.txt', [out_dir, ('FileLink', 'C:\\out\\r.txt', 'C:\\a\\r.txt')]),
        'second_name': status('C:\\out\\r.txt', [out_dir, ('SecondName', 'C:\\out\\r.txt', '')]),
        'user_link_above': status('C:\\b\\r.txt', [out_dir, ('DirectoryLink', 'C:\\b', 'C:\\out')]),
        'admin_link_above': status('C:\\b\\r.txt', [out_dir, ('DirectoryLink', 'C:\\b', 'C:\\out', 'admins')]),
        'user_junction_above': status('C:\\b\\r.txt', [out_dir, ('MountPoint', 'C:\\b', 'C:\\out')]),
        'system_junction_in_chain': status('C:\\b\\a\\r.txt', [out_dir, ('MountPoint', 'C:\\b', 'C:\\out', 'system')]),
        'user_junction_two_above': status('C:\\b\\a\\new\\r.txt', [windows, ('MountPoint', 'C:\\b', 'C:\\Windows')]),
        'writable_admin_junction': status('C:\\b\\a\\r.txt',
                                          [out_dir, ('MountPoint', 'C:\\b', 'C:\\out', 'admins-users-write')]),
        'relative_admin_link': status('C:\\b\\r.txt', [out_dir, ('DirectoryLink', 'C:\\b', 'out', 'installer')]),
        'other_reparse_point': status('C:\\b\\a\\r.txt', [out_dir, ('OtherDirectory', 'C:\\b', 'C:\\out')]),
        'wine_link': status('C:\\b\\a\\r.txt', [out_dir, ('WineLink', 'C:\\b', 'C:\\out')]),
        'slash_through_junction': status('C:/b/a/r.txt', [windows, ('MountPoint', 'C:\\b', 'C:\\Windows')]),
        'slash_after_junction': status('C:\\b/\\a\\r.txt', [out_dir, ('MountPoint', 'C:\\b', 'C:\\out')]),
        'other_link_in_chain': status('C:\\b\\a\\r.txt', [out_dir, ('OtherLink', 'C:\\b', 'C:\\out', 'admins')]),
        'report_is_directory': status('C:\\out', [out_dir]),
        'file_in_chain': status('C:\\out\\r.txt\\a\\r.txt', [out_dir, ('File', 'C:\\out\\r.txt', '')]),
        'failed_creation': status('C:\\a\\b\\r.txt', fail_create=['C:\\a\\b']),
        'not_administrator': status('C:\\a\\r.txt', administrator=False),
        'write_fails': status('C:\\out\\r.txt', [out_dir, ('File', 'C:\\out\\r.txt', '')], write_fails=True),
        'descriptor_fails': status('C:\\a\\r.txt', descriptor_fails=True),
        'open_child_fails': status('C:\\out\\a\\r.txt', [out_dir], fault=('OpenChild', 2)),
        'delete_fails': status('C:\\a\\b\\r.txt', fail_create=['C:\\a\\b'], fault=('MarkForDeletion', 1)),
        'swap_report_for_link': status('C:\\out\\r.txt', [out_dir, protected],
                                       swap=(5, 'FileLink', 'C:\\out\\r.txt', 'C:\\Windows\\p.dat')),
        'swap_report_for_second_name': status('C:\\out\\r.txt', [out_dir], swap=(5, 'SecondName', 'C:\\out\\r.txt', '')),
        'swap_level_for_junction': status('C:\\out\\new\\r.txt', [out_dir, windows],
                                          swap=(2, 'MountPoint', 'C:\\out', 'C:\\Windows')),
        'swap_held_level': status('C:\\out\\new\\r.txt', [out_dir, windows],
                                  swap=(6, 'MountPoint', 'C:\\out', 'C:\\Windows')),
        'plant_in_created_directory': status('C:\\a\\b\\r.txt', fail_create=['C:\\a\\b'],
                                             swap=(4, 'File', 'C:\\a\\planted', '')),
        'hard_linked_report': status('C:\\out\\r.txt', [out_dir, windows,
                                                      ('SecondName', 'C:\\out\\r.txt', 'C:\\Windows\\p.dat')]),
        'read_only_report': status('C:\\out\\r.txt', [out_dir, ('ReadOnlyFile', 'C:\\out\\r.txt', '')]),
        'report_list_kept': status('C:\\out\\r.txt', [out_dir, ('File', 'C:\\out\\r.txt', '', 'admins-users-write')]),
        'temporary_name_taken': status('C:\\out\\r.txt', [out_dir, ('File', 'C:\\out\\~ppkg-launcher-1.tmp', '')]),
        'rename_fails': status('C:\\out\\r.txt', [out_dir, ('File', 'C:\\out\\r.txt', '')], fault=('RenameInto', 1)),
        'flush_fails': status('C:\\a\\r.txt', fault=('FlushFile', 1)),
        'new_file_kept_when_removal_fails': status('C:\\a\\r.txt', fault=('MarkForDeletion', 1), write_fails=True),
        'report_named_like_the_new_file': status('C:\\out\\~ppkg-launcher-1.tmp', [out_dir], write_fails=True,
                                                 fault=('MarkForDeletion', 1)),
        'swap_report_for_directory': status('C:\\out\\r.txt', [out_dir], swap=(9, 'Directory', 'C:\\out\\r.txt', '')),
        'drive_cd': status('D:\\a\\r.txt', [('Directory', 'D:\\a', '')], drive_d='cd'),
        'drive_remote': status('D:\\a\\r.txt', [('Directory', 'D:\\a', '')], drive_d='remote'),
        'drive_multiple_unc_provider': status('D:\\a\\r.txt', [('Directory', 'D:\\a', '')], drive_d='mup'),
        'drive_substituted': status('D:\\r.txt', [out_dir], drive_d='subst'),
        'drive_mapped_to_share': status('D:\\a\\r.txt', [('Directory', '\\\\server\\share\\a', '')], drive_d='mapped'),
        'link_to_share': status('C:\\b\\r.txt', [('Directory', '\\\\server\\share', ''),
                                                ('DirectoryLink', 'C:\\b', '\\\\server\\share', 'admins')]),
        'level_made_junction': status('C:\\out\\new\\r.txt', [out_dir, windows],
                                      swap=(3, 'Directory', 'C:\\out', 'C:\\Windows'), junction_in_place=True),
        'made_level_made_junction_kept': status('C:\\out\\new\\r.txt', [windows],
                                                swap=(4, 'Directory', 'C:\\out', ''), junction_in_place=True),
        'last_level_made_junction_in_the_folder': status('C:\\out\\new\\r.txt', [out_dir, windows],
                                                         swap=(10, 'Directory', 'C:\\out\\new', 'C:\\Windows'),
                                                         junction_in_place=True, in_the_folder=True),
        'level_made_junction_in_the_folder': status('C:\\out\\new\\r.txt', [out_dir, windows],
                                                    swap=(5, 'Directory', 'C:\\out', 'C:\\Windows'),
                                                    junction_in_place=True, in_the_folder=True),
        'report_not_made_levels_removed': status('C:\\a\\b\\r.txt', fail_create=['C:\\a\\b\\r.txt']),
        'drive_relative': status('C:r.txt'),
        'dot_after_slash': status('C:\\a/.', [('Directory', 'C:\\a', '')]),
        'stream_on_folder': status('C:\\a\\:x'),
    }


def main():
    targets = {
        'PresenceReportFuzz': presence_report(),
        'QueryCommandFuzz': query_command(),
        'DispatchFuzz': dispatch(),
        'StatusReportFuzz': status_report(),
    }
    for target, seeds in targets.items():
        folder = os.path.join(CORPUS, target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)


if __name__ == '__main__':
    main()
