#!/usr/bin/env python3
"""Writes the release zip byte for byte the same from the same inputs: entries in a fixed order,
every entry stamped with one time (buildtime.py), fixed permissions.
It holds both executables, the installer packages, the administrator's guide (its version and
product codes filled in), the licence, the registry presets, the Group Policy template, the
maintenance window's task definitions and the script that registers them (tasks/, which is also an
Intune Win32 app's content folder), and what the build makes from them (maintenance.py). Also
writes SHA256SUMS into the zip and <zip>.sha256 beside it.

make_package.py --version 1.2.1.8 --version-text 1.2.1h --source DIR --i686 EXE --x86_64 EXE
                --msi MSI [--msi MSI] --out ZIP
"""
import argparse
import hashlib
import os
import re
import time
import zipfile

from buildtime import build_time
from maintenance import files as maintenance_files
from msitables import table


def fill_in(text, version, version_text, msis):
    """The guide with this release's versions and product codes, which the build alone knows: the
    package version as the packages themselves carry it."""
    values = {'{version}': version_text, '{file version}': version}
    for msi in msis:
        arch = re.search(r'-(x86|x64)\.msi$', msi).group(1)
        properties = table(msi, 'Property')
        values['{%s ProductCode}' % arch] = properties['ProductCode'][0]
        package_version = properties['ProductVersion'][0]
        if values.setdefault('{package version}', package_version) != package_version:
            raise SystemExit('make_package: the installer packages carry different versions')
    for placeholder, value in values.items():
        text = text.replace(placeholder, value)
    return text


def main():
    p = argparse.ArgumentParser()
    for name in ('--version', '--version-text', '--source', '--i686', '--x86_64', '--out'):
        p.add_argument(name, required=True)
    p.add_argument('--msi', action='append', required=True)
    a = p.parse_args()
    entries = {'i686/Kelvor.exe': a.i686, 'x86_64/Kelvor.exe': a.x86_64,
               'docs/deploying.md': os.path.join(a.source, 'docs', 'deploying.md'),
               'LICENSE': os.path.join(a.source, 'LICENSE')}
    for msi in a.msi:
        entries[os.path.basename(msi)] = msi
    for folder, suffixes in (('registry', ('.reg',)), ('policy', ('.admx', '.adml')), ('tasks', ('.xml', '.cmd'))):
        for base, _, names in os.walk(os.path.join(a.source, folder)):
            for name in names:
                if name.endswith(suffixes):
                    path = os.path.join(base, name)
                    entries[os.path.relpath(path, a.source).replace(os.sep, '/')] = path
    contents = {}
    for name, path in entries.items():
        with open(path, 'rb') as f:
            contents[name] = f.read()
    contents.update(maintenance_files(a.source))
    guide = contents['docs/deploying.md'].decode('utf-8')
    contents['docs/deploying.md'] = fill_in(guide, a.version, a.version_text, a.msi).encode()
    contents['SHA256SUMS'] = ''.join('%s  %s\n' % (hashlib.sha256(data).hexdigest(), name)
                                     for name, data in sorted(contents.items())).encode()
    # The zip format keeps local time with two-second steps from 1980 on.
    stamp = time.gmtime(build_time(a.source))[:6]
    tmp = a.out + '.tmp'
    with zipfile.ZipFile(tmp, 'w') as z:
        for name in sorted(contents):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the permissions below are read
            info.external_attr = (0o100755 if name.endswith(('.exe', '.msi')) else 0o100644) << 16
            z.writestr(info, contents[name], compresslevel=9)
    os.replace(tmp, a.out)
    with open(a.out, 'rb') as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(a.out + '.sha256', 'w') as f:
        f.write('%s  %s\n' % (digest, os.path.basename(a.out)))
    print('%s  %s' % (digest, a.out))


if __name__ == '__main__':
    main()
