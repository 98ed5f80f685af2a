#!/usr/bin/env python3
"""Rewrites packages that CPack made so that their bytes depend on their
contents alone, not on the file system they were staged on.

    normalize_package.py PACKAGE...   (.tar.gz, .zip or .deb)

CPack adds an archive's members in the order the file system lists the
staging folder (hash order on ext4, creation order on tmpfs), and counts a
folder's own size, 4096 bytes on ext4 and less on tmpfs, into a .deb's
Installed-Size. Here the members of a .tar.gz or .zip are put in name
order, each kept as CPack wrote it, and a .deb's Installed-Size is counted
as dpkg-gencontrol counts it: a file's size in KiB rounded up, 1 for any
other entry.
"""
import gzip
import io
import re
import sys
import tarfile
import zipfile


def by_name(members, name):
    return sorted(members, key=lambda member: getattr(member, name))


def sorted_tar_gz(data, edit=lambda member, body: body):
    """The tar.gz with its members in name order; gzip without name or time."""
    out = io.BytesIO()
    with tarfile.open(fileobj=io.BytesIO(data)) as source, \
            gzip.GzipFile(filename='', mode='wb', fileobj=out, mtime=0) as compressed, \
            tarfile.open(fileobj=compressed, mode='w', format=tarfile.GNU_FORMAT) as sorted_tar:
        for member in by_name(source.getmembers(), 'name'):
            body = edit(member, source.extractfile(member).read()) if member.isfile() else None
            if body is not None:
                member.size = len(body)
            sorted_tar.addfile(member, io.BytesIO(body) if body is not None else None)
    return out.getvalue()


def sorted_zip(data):
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as source, zipfile.ZipFile(out, 'w') as sorted_zip:
        for member in by_name(source.infolist(), 'filename'):
            sorted_zip.writestr(member, source.read(member))
    return out.getvalue()


def ar_members(data):
    """(header, body) of each member of an ar archive, such as a .deb."""
    assert data.startswith(b'!<arch>\n'), 'not an ar archive'
    at = 8
    while at < len(data):
        header = data[at:at + 60]
        size = int(header[48:58])
        yield header, data[at + 60:at + 60 + size]
        at += 60 + size + size % 2


def normalized_deb(data):
    members = dict((header[:16].rstrip(b' /'), (header, body)) for header, body in ar_members(data))
    with tarfile.open(fileobj=io.BytesIO(members[b'data.tar.gz'][1])) as files:
        size = sum(-(-entry.size // 1024) if entry.isfile() else 1 for entry in files)

    def installed_size(member, body):
        if member.name.lstrip('./') != 'control':
            return body
        return re.sub(rb'(?m)^Installed-Size: \d+$', b'Installed-Size: %d' % size, body)

    header, control = members[b'control.tar.gz']
    members[b'control.tar.gz'] = (header, sorted_tar_gz(control, installed_size))
    out = b'!<arch>\n'
    for header, body in members.values():  # in the order of the archive: debian-binary first
        out += header[:48] + b'%-10d' % len(body) + header[58:] + body + b'\n' * (len(body) % 2)
    return out


def main(paths):
    for path in paths:
        with open(path, 'rb') as package:
            data = package.read()
        if path.endswith('.deb'):
            data = normalized_deb(data)
        elif path.endswith('.zip'):
            data = sorted_zip(data)
        elif path.endswith('.tar.gz'):
            data = sorted_tar_gz(data)
        else:
            sys.exit(f'{path}: not a .tar.gz, .zip or .deb')
        with open(path, 'wb') as package:
            package.write(data)


if __name__ == '__main__':
    main(sys.argv[1:])
