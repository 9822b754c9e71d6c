#!/usr/bin/env python3
"""Builds one Windows Installer package of Kelvor.exe with wixl from installer/Kelvor.wxs, byte
for byte the same from the same inputs.

make_msi.py --version 1.2.1.8 [--version-text 1.2.1h] --arch x86|x64 --exe Kelvor.exe --out Kelvor-1.2.1h-x64.msi

- The build passes the version's text form as CMake spells it; without it (a package made by hand
  in another version) the last number is spelt as its letter here.

- Windows Installer compares only the first three fields of a version, and Kelvor's releases
  differ in the fourth ("1.2.1h" is 1.2.1.8): the package's version is a.b.(c*100+d), 1.2.108.
- The product code changes with the version (major upgrade); the package code with any input.
  Both are name-based UUIDs, so the same inputs give the same codes.
- wixl takes neither a Component's <Condition>, Transitive nor a <ComponentSearch>, and writes no
  file version and no SecureCustomProperties of ours: these are left out for wixl and written into
  their tables afterwards with msibuild.
- wixl and msibuild stamp the summary with the current time, the cabinet keeps the file's time,
  and wixl draws a random package code: both run at a fixed time (buildtime.py), the file gets
  that time, and msibuild sets the package code.
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import uuid
import xml.etree.ElementTree as ET

from buildtime import build_time
from msitables import table

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WXS = os.path.join(ROOT, 'installer', 'Kelvor.wxs')
NS = {'wix': 'http://schemas.microsoft.com/wix/2006/wi'}
SECURE = ('INSTALLFOLDER', 'KELVOR_MODE', 'KELVOR_FORCE', 'KELVOR_QUIET', 'KELVOR_COUNTDOWN')
NAMESPACE = uuid.UUID('9d1e5c3a-4b7f-4e21-a6c8-0f2b7d9e4c51')  # Kelvor's own, for name-based codes


def msi_version(version):
    a, b, c, d = (int(x) for x in version.split('.'))
    if c * 100 + d > 65535 or d > 99:
        raise SystemExit('version %s does not fit a package version' % version)
    return '%d.%d.%d' % (a, b, c * 100 + d)


def after_wixl(text, file_version):
    """The source as wixl takes it, and the SQL that puts back what wixl leaves out or gets wrong."""
    queries = []
    tree = ET.fromstring(text)
    for component in tree.iter('{%s}Component' % NS['wix']):
        for condition in component.findall('wix:Condition', NS):
            queries.append("UPDATE `Component` SET `Condition` = '%s' WHERE `Component` = '%s'"
                           % (' '.join(condition.text.split()), component.get('Id')))
        if component.get('Transitive') == 'yes':  # condition evaluated again on a re-install
            attributes = 64 | (256 if component.get('Win64') == 'yes' else 0)
            queries.append("UPDATE `Component` SET `Attributes` = %d WHERE `Component` = '%s'"
                           % (attributes, component.get('Id')))
    searches = [(prop.get('Id'), search) for prop in tree.iter('{%s}Property' % NS['wix'])
                for search in prop.findall('wix:ComponentSearch', NS)]
    if searches:
        queries.append('CREATE TABLE `CompLocator` (`Signature_` CHAR(72) NOT NULL, `ComponentId` CHAR(38) NOT NULL, '
                       '`Type` SHORT PRIMARY KEY `Signature_`)')
        if tree.find('.//wix:RegistrySearch', NS) is None:  # else wixl schedules AppSearch itself
            for sequence in ('InstallExecuteSequence', 'InstallUISequence'):
                queries.append("INSERT INTO `%s` (`Action`, `Sequence`) VALUES ('AppSearch', 50)" % sequence)
    for prop, search in searches:
        queries.append("INSERT INTO `CompLocator` (`Signature_`, `ComponentId`, `Type`) VALUES ('%s', '{%s}', %d)"
                       % (search.get('Id'), search.get('Guid').upper(), 1 if search.get('Type') == 'file' else 0))
        queries.append("INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('%s', '%s')" % (prop, search.get('Id')))
    # wixl marks a property-setting action no-impersonate (2048 + 51); that bit is for deferred
    # actions only (ICE68).
    queries.append('UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099')
    # A versioned file carries its version, and file hashes are for unversioned files only.
    queries.append("UPDATE `File` SET `Version` = '%s', `Language` = '1033' WHERE `File` = 'KelvorExe'" % file_version)
    queries.append("DELETE FROM `MsiFileHash` WHERE `File_` = 'KelvorExe'")
    stripped = re.sub(r'\s*<Condition>[^<]*</Condition>', '', text)
    stripped = re.sub(r'\s*<Property Id="\w+">\s*<ComponentSearch [^>]*/>\s*</Property>', '', stripped)
    stripped = stripped.replace(' Transitive="yes"', '')
    return stripped, queries


def secure_properties(msi, names):
    """SecureCustomProperties with `names` added: public properties that reach an elevated
    (managed, or per-machine by a non-administrator) installation's server side."""
    current = table(msi, 'Property').get('SecureCustomProperties', [''])[0]
    value = ';'.join(sorted(set(filter(None, current.split(';'))) | set(names)))
    return "UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'SecureCustomProperties'" % value


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--version', required=True)
    p.add_argument('--version-text')
    p.add_argument('--arch', required=True, choices=('x86', 'x64'))
    p.add_argument('--exe', required=True)
    p.add_argument('--out', required=True)
    a = p.parse_args()
    text = a.version_text or version_text(a.version)
    product = uuid.uuid5(NAMESPACE, 'product %s %s' % (a.arch, a.version))
    stamp = datetime.datetime.fromtimestamp(build_time(ROOT), datetime.timezone.utc)
    frozen = ['faketime', '-f', stamp.strftime('%Y-%m-%d %H:%M:%S')]  # a clock that stands still
    env = dict(os.environ, TZ='UTC')
    out = os.path.abspath(a.out)
    with tempfile.TemporaryDirectory() as work:
        # wixl takes a File's Source relative to where it runs.
        # The cabinet keeps the files' times: give the copies the package's time.
        for source, name in ((a.exe, 'Kelvor.exe'), (os.path.join(ROOT, 'installer', 'Kelvor-presets.txt'),
                                                     'Kelvor-presets.txt')):
            shutil.copyfile(source, os.path.join(work, name))
            os.utime(os.path.join(work, name), (stamp.timestamp(), stamp.timestamp()))
        defines = {'Arch': a.arch, 'Version': msi_version(a.version), 'VersionText': text,
                   'FileVersion': a.version, 'ProductCode': str(product).upper(), 'Exe': 'Kelvor.exe'}
        wixl = ['wixl', '-a', a.arch]
        for name, value in defines.items():
            wixl += ['-D', '%s=%s' % (name, value)]
        # The preprocessed source, with what wixl cannot take moved into SQL for msibuild.
        preprocessed = subprocess.run(wixl + ['-E', WXS], env=env, check=True, capture_output=True, text=True).stdout
        source, queries = after_wixl(preprocessed, a.version)
        with open(os.path.join(work, 'Kelvor.wxs'), 'w') as f:
            f.write(source)
        subprocess.run(frozen + wixl + ['-o', out + '.tmp', 'Kelvor.wxs'], cwd=work, env=env, check=True)
        queries.append(secure_properties(out + '.tmp', SECURE))
        # The package code names the package's contents: every input goes into it (the files, the
        # source as preprocessed, every change made to wixl's tables, the time, the tools).
        digest = hashlib.sha256()
        for name in ('Kelvor.exe', 'Kelvor-presets.txt'):
            with open(os.path.join(work, name), 'rb') as f:
                digest.update(hashlib.sha256(f.read()).digest())
        tools = subprocess.run(['wixl', '--version'], capture_output=True, text=True).stdout
        for part in [source, *queries, stamp.isoformat(), tools]:
            digest.update(hashlib.sha256(part.encode()).digest())
        package = uuid.uuid5(NAMESPACE, 'package ' + digest.hexdigest())
        args = frozen + ['msibuild', out + '.tmp']
        for q in queries:
            args += ['-q', q]
        args += ['-s', 'Kelvor %s' % text, 'Veltrane',
                 '%s;1033' % ('x64' if a.arch == 'x64' else 'Intel'), '{%s}' % str(package).upper()]
        subprocess.run(args, env=env, check=True)
    os.replace(out + '.tmp', out)
    print('%s  %s' % (hashlib.sha256(open(out, 'rb').read()).hexdigest(), out))
    codes = table(out, 'Property')
    print('%s  ProductCode %s  UpgradeCode %s' % (os.path.basename(out), codes['ProductCode'][0], codes['UpgradeCode'][0]))


def version_text(version):
    """1.2.1.8 as Kelvor shows it, 1.2.1h, for a package made by hand; the build passes CMake's."""
    a, b, c, d = version.split('.')
    return '%s.%s.%s%s' % (a, b, c, chr(96 + int(d)))


if __name__ == '__main__':
    main()
