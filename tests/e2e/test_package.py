"""The release zip as an administrator uses it: unpacked, checksums verified, every registry preset
imported with regedit into a registry that also holds the rest of the product's settings, and the
packaged Kelvor.exe of the architecture under test run under Wine."""
import hashlib
import os
import shutil
import unittest
import zipfile

from wineharness import ACTION, ARCH, COUNT, KELVOR_VALUES, KEY, OTHER_SETTINGS, RegistryCase

ZIP = os.environ.get('KELVOR_ZIP', '')
# Kelvor's values before each import, none of them what a preset writes.
EARLIER = [(KEY, 'ShutDown.VLX', 'REG_SZ', 'LogOff'), (KEY, 'ForceMode', 'REG_DWORD', '7'),
           (KEY, 'QuietMode', 'REG_DWORD', '7'), (KEY, 'ShutCount', 'REG_DWORD', '99')]


class Package(RegistryCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = os.path.join(cls.session.state, 'unpacked')
        shutil.rmtree(cls.root, ignore_errors=True)
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(cls.root)
        cls.exe = os.path.join(cls.root, ARCH, 'Kelvor.exe')
        cls.presets = sorted(n for n in os.listdir(os.path.join(cls.root, 'registry')) if n.endswith('.reg'))

    def import_preset(self, name):
        self.session.import_reg(os.path.join(self.root, 'registry', name))

    def test_checksums_match(self):
        with open(os.path.join(self.root, 'SHA256SUMS')) as f:
            sums = [line.split('  ', 1) for line in f.read().splitlines()]
        with zipfile.ZipFile(ZIP) as z:
            self.assertEqual(sorted(name for _, name in sums), sorted(set(z.namelist()) - {'SHA256SUMS'}))
            self.assertLessEqual({'LICENSE', 'docs/deploying.md'}, set(z.namelist()))
        for digest, name in sums:
            with open(os.path.join(self.root, name), 'rb') as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)

    def test_every_preset_touches_only_kelvors_values(self):
        self.assertGreaterEqual(len(self.presets), 4)
        for name in self.presets:
            with self.subTest(preset=name):
                self.clear()
                self.session.write_values(OTHER_SETTINGS + EARLIER)
                before = self.session.snapshot()
                self.import_preset(name)
                after = self.session.snapshot()
                changed = {k for k in before.keys() | after.keys() if before.get(k) != after.get(k)}
                others = {k for k in changed if not (k[0].endswith(r'\Parameters') and k[1] in KELVOR_VALUES)}
                self.assertEqual(others, set(), 'changed beyond Kelvor\'s values')
                self.assertEqual(len(before), len(OTHER_SETTINGS) + len(EARLIER) + 3)  # and the three keys
                if name.startswith('remove-'):
                    self.assertEqual([k for k in after if k[1] in KELVOR_VALUES], [])

    def test_presets_do_what_their_names_say(self):
        self.import_preset('quiet-forced-shutdown.reg')
        self.run_kelvor(exe=self.exe, requests=[5], dialogs=0)

        self.import_preset('reboot-after-60s-countdown.reg')
        k = self.kelvor(exe=self.exe)
        d = self.dialog()
        self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '60'))
        self.press('ok')
        self.finished(k, [2])  # not forced

        # Force and quiet from an earlier preset do not outlive disable.reg.
        self.import_preset('quiet-forced-shutdown.reg')
        self.import_preset('disable.reg')
        self.run_kelvor(exe=self.exe, requests=[])
        self.run_kelvor('/Reboot', exe=self.exe, requests=[2], dialogs=1)

        self.import_preset('remove-kelvor-presets.reg')
        self.run_kelvor('/Quiet', exe=self.exe, requests=[1])  # the default request: no preset left


if __name__ == '__main__':
    unittest.main()
