"""The Windows Installer packages under Wine's real msiexec, as an administrator deploys them: silent
install with and without preset properties, the installed exe run from Program Files, the x86
package refused on 64-bit Windows and installed on a 32-bit one, repair and re-install keeping the
presets, uninstall, major upgrade and refused downgrade. The registry
already holds other settings of the product, which must come through every step unchanged."""
import hashlib
import os
import re
import subprocess
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
from msitables import property_of, table  # noqa: E402
from wineharness import (ACTION, BUILD, COUNT, KELVOR_VALUES, KEY, OTHER_SETTINGS, WINE32, WINESERVER, RegistryCase,
                         make_prefix, windows_path)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..', '..')
VERSION = os.environ.get('KELVOR_VERSION', '1.2.1.8')
TEXT = os.environ.get('KELVOR_VERSION_TEXT', '1.2.1h')
PACKAGES = {arch: os.path.join(BUILD, 'Kelvor-%s-%s.msi' % (TEXT, arch)) for arch in ('x86', 'x64')}
EXES = {'x86': os.path.join(BUILD, 'i686', 'Kelvor.exe'), 'x64': os.path.join(BUILD, 'x86_64', 'Kelvor.exe')}
FOLDERS = {'x86': 'Program Files (x86)', 'x64': 'Program Files'}
VIEWS = {'x86': '/reg:32', 'x64': '/reg:64'}


def summary_platform(msi):
    """The platform of the package's Template summary property: x64 or Intel."""
    out = subprocess.run(['msiinfo', 'suminfo', msi], capture_output=True, text=True, check=True).stdout
    return re.search(r'^Template: (\w+);', out, re.M).group(1)


class Installer(RegistryCase):

    def setUp(self):
        super().setUp()
        for view in VIEWS.values():
            self.session.write_values(OTHER_SETTINGS, view)
        self.before = {view: {k: v for k, v in self.session.snapshot(view).items() if k[1] not in KELVOR_VALUES}
                       for view in VIEWS.values()}

    def tearDown(self):
        self.settle()  # a case's exit request may have ended the session
        for msi in PACKAGES.values():
            self.msiexec('/x', property_of(msi, 'ProductCode'))
        super().tearDown()

    def msiexec(self, *args):
        return self.session.run_windows(r'C:\windows\system32\msiexec.exe', 'msiexec %s /qn /norestart' % ' '.join(args))

    def install(self, arch, *properties, msi=None):
        return self.msiexec('/i', windows_path(msi or PACKAGES[arch]), *properties)

    def installed_exe(self, arch):
        return os.path.join(self.session.prefix, 'drive_c', FOLDERS[arch], 'Veltrane', 'Orvane', 'Kelvor.exe')

    def kelvor_values(self, view):
        return {name: v for (key, name), v in self.session.snapshot(view).items()
                if key.endswith(r'\Parameters') and name in KELVOR_VALUES}

    def assertOnlyKelvorChanged(self):
        for view, before in self.before.items():
            others = {k: v for k, v in self.session.snapshot(view).items() if k[1] not in KELVOR_VALUES}
            self.assertEqual(others, before, view)

    def assertRemoved(self, arch):
        self.assertFalse(os.path.exists(os.path.join(self.session.prefix, 'drive_c', FOLDERS[arch], 'Veltrane')))
        for view in VIEWS.values():
            self.assertEqual(self.kelvor_values(view), {}, view)
        self.assertOnlyKelvorChanged()

    def test_without_properties_installs_only_the_exe(self):
        self.assertEqual(self.install('x64'), 0)
        with open(self.installed_exe('x64'), 'rb') as f, open(EXES['x64'], 'rb') as g:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(g.read()).digest())
        self.assertEqual(os.listdir(os.path.dirname(self.installed_exe('x64'))), ['Kelvor.exe'])
        self.assertEqual({view: self.kelvor_values(view) for view in VIEWS.values()}, {'/reg:32': {}, '/reg:64': {}})
        self.assertOnlyKelvorChanged()
        self.run_kelvor('/LogOff', '/Quiet', exe=self.installed_exe('x64'), requests=[0])
        # Presets that someone else wrote (Group Policy, a .reg file) are not the package's.
        self.session.write_values([(KEY, 'ShutDown.VLX', 'REG_SZ', 'Reboot'), (KEY, 'ShutCount', 'REG_DWORD', 9)],
                                  '/reg:64')
        self.assertEqual(self.msiexec('/x', windows_path(PACKAGES['x64'])), 0)
        self.assertFalse(os.path.exists(os.path.join(self.session.prefix, 'drive_c', FOLDERS['x64'], 'Veltrane')))
        self.assertEqual(self.kelvor_values('/reg:64'), {'ShutDown.VLX': ('REG_SZ', 'Reboot'),
                                                         'ShutCount': ('REG_DWORD', '0x9')})
        self.assertOnlyKelvorChanged()

    def test_preset_properties_are_written_whole_and_removed_with_the_package(self):
        self.assertEqual(self.install('x64', 'KELVOR_MODE=Reboot', 'KELVOR_COUNTDOWN=7'), 0)
        self.assertEqual(self.kelvor_values('/reg:64'), {'ShutDown.VLX': ('REG_SZ', 'Reboot'),
                                                         'ForceMode': ('REG_DWORD', '0x0'),
                                                         'QuietMode': ('REG_DWORD', '0x0'),
                                                         'ShutCount': ('REG_DWORD', '0x7')})
        self.assertEqual(self.kelvor_values('/reg:32'), {})
        # The note that marks the presets as this installation's, so that uninstall removes them.
        self.assertEqual(sorted(os.listdir(os.path.dirname(self.installed_exe('x64')))), ['Kelvor-presets.txt', 'Kelvor.exe'])
        k = self.kelvor(exe=self.installed_exe('x64'))
        d = self.dialog()
        self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '7'))
        self.press('ok')
        self.finished(k, [2])
        self.assertEqual(self.msiexec('/x', windows_path(PACKAGES['x64'])), 0)
        self.assertRemoved('x64')

        # One property alone still writes all four, the others at their neutral values.
        self.assertEqual(self.install('x64', 'KELVOR_FORCE=1', 'KELVOR_QUIET=1'), 0)
        self.assertEqual(self.kelvor_values('/reg:64'), {'ShutDown.VLX': ('REG_SZ', ''),
                                                         'ForceMode': ('REG_DWORD', '0x1'),
                                                         'QuietMode': ('REG_DWORD', '0x1'),
                                                         'ShutCount': ('REG_DWORD', '0x0')})
        self.run_kelvor('/Reboot', exe=self.installed_exe('x64'), requests=[6])

    def test_x86_package_is_refused_on_64bit_windows_and_installs_on_32bit(self):
        self.assertEqual(self.install('x86', 'KELVOR_MODE=LogOff'), 1603)  # its message: see the tables
        for arch in FOLDERS:
            self.assertFalse(os.path.exists(self.installed_exe(arch)))
        self.assertRemoved('x86')
        # A 32-bit Windows of its own: one registry view, one Program Files.
        prefix = os.path.join(self.session.state, 'prefix32')
        env = dict(os.environ, WINEPREFIX=prefix, WINEARCH='win32', WINEDEBUG='-all', DISPLAY='',
                   WINEDLLOVERRIDES='mscoree,mshtml=')

        def wine32(*args, debug='-all'):
            return subprocess.run([WINE32, *args], env=dict(env, WINEDEBUG=debug), capture_output=True, text=True,
                                  errors='replace', timeout=600)
        try:
            make_prefix(prefix, 'win32')
            msi = windows_path(PACKAGES['x86'])
            self.assertEqual(wine32('msiexec', '/i', msi, 'KELVOR_MODE=LogOff', '/qn').returncode, 0)
            exe = os.path.join(prefix, 'drive_c', 'Program Files', 'Veltrane', 'Orvane', 'Kelvor.exe')
            self.assertTrue(os.path.exists(exe))
            self.assertEqual(wine32('reg', 'query', KEY, '/v', 'ShutDown.VLX').returncode, 0)
            self.assertEqual(wine32('msiexec', '/x', msi, '/qn').returncode, 0)
            self.assertFalse(os.path.exists(exe))
            self.assertNotEqual(wine32('reg', 'query', KEY, '/v', 'ShutDown.VLX').returncode, 0)
        finally:
            subprocess.run([WINESERVER, '-k'], env=env, capture_output=True, timeout=60)

    def test_repair_and_reinstall_keep_the_presets_and_a_reinstall_can_change_them(self):
        given = {'ShutDown.VLX': ('REG_SZ', 'Disable'), 'ForceMode': ('REG_DWORD', '0x0'),
                 'QuietMode': ('REG_DWORD', '0x0'), 'ShutCount': ('REG_DWORD', '0x1e')}
        msi = windows_path(PACKAGES['x64'])
        self.assertEqual(self.install('x64', 'KELVOR_MODE=Disable', 'KELVOR_COUNTDOWN=30'), 0)
        self.assertEqual(self.kelvor_values('/reg:64'), given)
        code = property_of(PACKAGES['x64'], 'ProductCode')
        # A repair (Add/Remove Programs, msiexec /fomus) is a reinstall of everything in mode omus:
        # Wine's msiexec /f ends with 1 before it starts, so the repair runs as those properties.
        for step in (('/i', msi), ('/i', msi, 'REINSTALL=ALL', 'REINSTALLMODE=omus')):
            with self.subTest(step=step[0] + ' '.join(step[2:])):
                self.assertEqual(self.msiexec(*step), 0)
                self.assertEqual(self.kelvor_values('/reg:64'), given)
        # New presets on an installed machine: a re-install with the new properties, written whole.
        self.assertEqual(self.msiexec('/i', msi, 'KELVOR_MODE=Reboot', 'KELVOR_FORCE=1', 'REINSTALL=ALL',
                                      'REINSTALLMODE=omus'), 0)
        self.assertEqual(self.kelvor_values('/reg:64'), {'ShutDown.VLX': ('REG_SZ', 'Reboot'),
                                                         'ForceMode': ('REG_DWORD', '0x1'),
                                                         'QuietMode': ('REG_DWORD', '0x0'),
                                                         'ShutCount': ('REG_DWORD', '0x0')})
        self.assertOnlyKelvorChanged()
        self.assertEqual(self.msiexec('/x', code), 0)
        self.assertRemoved('x64')

    def test_tables_hold_what_wine_does_not_check(self):
        for arch, msi in PACKAGES.items():
            with self.subTest(arch=arch):
                tables = {name: table(msi, name) for name in ('Component', 'CustomAction', 'File', 'MsiFileHash',
                                                              'Property', 'LaunchCondition', 'RegLocator')}
                # Windows reinstalls an installed component whatever its condition now says (Wine
                # evaluates it again, so the repair case above passes there either way): the values
                # are written from the presets in force, read back, and the component is transitive
                # so that a re-install with properties can add it.
                self.assertTrue(int(tables['Component']['Presets'][2]) & 64)
                kept = {row[1]: row[2] for name, row in tables['CustomAction'].items() if name.startswith('Kept')}
                self.assertEqual(kept, {'PRESET_%s' % v: '[PRIOR_%s]' % v for v in ('MODE', 'FORCE', 'QUIET', 'COUNT')})
                self.assertEqual(sorted(row[2] for row in tables['RegLocator'].values()), sorted(KELVOR_VALUES))
                # Property-setting actions run in the client's context, never marked no-impersonate.
                self.assertEqual({row[0] for row in tables['CustomAction'].values()}, {'51'})
                self.assertEqual(tables['File']['KelvorExe'][3:5], [VERSION, '1033'])
                self.assertNotIn('KelvorExe', tables['MsiFileHash'])
                secure = tables['Property']['SecureCustomProperties'][0].split(';')
                for name in ('INSTALLFOLDER', 'KELVOR_MODE', 'KELVOR_FORCE', 'KELVOR_QUIET', 'KELVOR_COUNTDOWN'):
                    self.assertIn(name, secure)
                self.assertEqual(tables['Property']['ARPNOMODIFY'], ['1'])
                # The administrator's guide in the zip gives the codes of the packages as built.
                with zipfile.ZipFile(os.environ['KELVOR_ZIP']) as z:
                    guide = z.read('docs/deploying.md').decode()
                self.assertIn('| `%s` | `%s` | `%s` |' % (os.path.basename(msi), property_of(msi, 'ProductCode'),
                                                        property_of(msi, 'UpgradeCode')), guide)
                self.assertEqual(re.findall(r'{(?:version|file version|package version|x64 ProductCode|x86 ProductCode)}',
                                            guide), [])
                # The values for Intune and Configuration Manager: the package's name, code and platform.
                name, code = os.path.basename(msi), property_of(msi, 'ProductCode')
                row = re.search(r'^\| `%s` \| `([^`]*)` \| `([^`]*)` \| `([^`]*)` \| (\S+) ' % re.escape(name), guide, re.M)
                self.assertEqual(row.groups() if row else None,
                                 ('msiexec /i "%s" /qn /norestart' % name, 'msiexec /x %s /qn /norestart' % code, code,
                                  {'x64': '64-bit', 'Intel': '32-bit'}[summary_platform(msi)]))
                refused = tables['LaunchCondition'].get('Installed OR NOT VersionNT64', [''])[0]
                self.assertEqual(refused.startswith('This package is for 32-bit Windows. On 64-bit Windows install '
                                                    'Kelvor-%s-x64.msi' % TEXT), arch == 'x86')

    def test_signed_package_installs_and_signed_exe_runs(self):
        release = os.path.join(BUILD, 'signing', 'release')  # made by the package_signing test
        self.assertEqual(self.install('x64', msi=os.path.join(release, 'Kelvor-%s-x64.msi' % TEXT)), 0)
        with open(self.installed_exe('x64'), 'rb') as f, open(os.path.join(release, 'signed', 'x86_64',
                                                                          'Kelvor.exe'), 'rb') as g:
            self.assertEqual(f.read(), g.read())
        self.run_kelvor('/LogOff', '/Quiet', exe=os.path.join(release, 'signed', 'i686', 'Kelvor.exe'), requests=[0])
        self.assertEqual(self.msiexec('/x', property_of(PACKAGES['x64'], 'ProductCode')), 0)
        self.assertRemoved('x64')

    def test_invalid_properties_are_refused(self):
        for prop in ('KELVOR_MODE=reboot', 'KELVOR_FORCE=yes', 'KELVOR_COUNTDOWN=-5', 'KELVOR_COUNTDOWN=ten'):
            with self.subTest(prop):
                self.assertEqual(self.install('x64', prop), 1603)
                self.assertFalse(os.path.exists(self.installed_exe('x64')))
                self.assertEqual(self.kelvor_values('/reg:64'), {})

    def test_upgrade_replaces_downgrade_is_refused(self):
        work = os.path.join(self.session.state, 'msi')
        os.makedirs(work, exist_ok=True)
        newer, renamed = os.path.join(work, 'newer.msi'), os.path.join(work, 'renamed.msi')
        a, b, c, d = VERSION.split('.')
        subprocess.run(['python3', os.path.join(ROOT, 'scripts', 'make_msi.py'), '--arch', 'x64', '--exe', EXES['x64'],
                        '--version', '.'.join((a, b, c, str(int(d) + 1))), '--out', newer], check=True, capture_output=True)
        # A package that claims the installed product's code in another version (hand-edited):
        # Windows Installer refuses it as another version of an installed product.
        with open(newer, 'rb') as f, open(renamed, 'wb') as g:
            g.write(f.read())
        subprocess.run(['msibuild', renamed, '-q', "UPDATE `Property` SET `Value` = '%s' WHERE `Property` = 'ProductCode'"
                        % property_of(PACKAGES['x64'], 'ProductCode')], check=True, capture_output=True)
        uninstall = r'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'

        def products():
            out = self.session.reg('query', uninstall, check=False).stdout
            return {code for code in (property_of(PACKAGES['x64'], 'ProductCode'), property_of(newer, 'ProductCode'))
                    if code.lower() in out.lower()}

        self.assertEqual(self.install('x64', 'KELVOR_MODE=Reboot', 'KELVOR_COUNTDOWN=30'), 0)
        self.assertEqual(self.install('x64', msi=renamed), 1638)
        self.assertEqual(self.install('x64', 'KELVOR_MODE=LogOff', 'KELVOR_COUNTDOWN=30', msi=newer), 0)
        self.assertEqual(products(), {property_of(newer, 'ProductCode')})
        self.assertEqual(self.kelvor_values('/reg:64')['ShutDown.VLX'], ('REG_SZ', 'LogOff'))
        self.assertEqual(self.install('x64'), 1603)  # older over newer
        self.assertEqual(products(), {property_of(newer, 'ProductCode')})
        self.assertTrue(os.path.exists(self.installed_exe('x64')))
        self.assertEqual(self.msiexec('/x', windows_path(newer)), 0)
        self.assertEqual(products(), set())
        self.assertRemoved('x64')


if __name__ == '__main__':
    unittest.main()
