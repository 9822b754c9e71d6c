"""The release zip as an administrator uses it: unpacked, checksums verified, a registry preset
imported with regedit, and the packaged x86_64 Kelvor.exe run under Wine."""
import hashlib
import os
import shutil
import unittest
import zipfile

from wineharness import RegistryCase, windows_path

ZIP = os.environ.get('KELVOR_ZIP', '')
KEY = r'HKLM\SOFTWARE\Veltrane\Orvane\Parameters'


class Package(RegistryCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = os.path.join(cls.session.state, 'unpacked')
        shutil.rmtree(cls.root, ignore_errors=True)
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(cls.root)
        cls.exe = os.path.join(cls.root, 'x86_64', 'Kelvor.exe')

    def import_preset(self, name):
        self.session.registry_tool('regedit', '/S', windows_path(os.path.join(self.root, 'registry', name)))

    def test_checksums_match(self):
        with open(os.path.join(self.root, 'SHA256SUMS')) as f:
            sums = [line.split('  ', 1) for line in f.read().splitlines()]
        self.assertEqual(len(sums), 7)
        for digest, name in sums:
            with open(os.path.join(self.root, name), 'rb') as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, name)

    def test_presets_drive_the_packaged_exe(self):
        self.import_preset('quiet-forced-shutdown-60s.reg')
        k = self.kelvor(exe=self.exe)
        self.assertEqual(k.wait(), 0)
        self.assertEqual(k.calls('user32.DialogBoxParamA'), [])
        self.assertEqual(k.exit_requests(), [5])
        self.settle()

        self.import_preset('reboot-preset.reg')
        k = self.kelvor(exe=self.exe)
        d = self.dialog()
        self.assertEqual((d['texts'][1002], d['texts'][1004]), ('Reboot will occur in:', '60'))
        self.probe('press', 'cancel', 20000)
        self.assertEqual(k.wait(), 0)
        self.settle()

        self.import_preset('disable.reg')
        k = self.kelvor(exe=self.exe)
        self.assertEqual(k.wait(), 0)
        self.assertEqual(k.exit_requests(), [])

        self.import_preset('remove-all-settings.reg')
        self.assertNotEqual(self.session.reg('query', KEY, check=False).returncode, 0)


if __name__ == '__main__':
    unittest.main()
