"""The administrator's guide against what ships: every preset it names exists, and a preset it
shows in full is shown exactly as the file in registry/ holds it."""
import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')


def read(*path):
    with open(os.path.join(ROOT, *path), encoding='utf-8', newline='') as f:
        return f.read().replace('\r\n', '\n')


class Guide(unittest.TestCase):

    def setUp(self):
        self.guide = read('docs', 'deploying.md')
        self.shipped = sorted(n for n in os.listdir(os.path.join(ROOT, 'registry')) if n.endswith('.reg'))

    def test_every_named_preset_ships(self):
        named = set(re.findall(r'([\w-]+\.reg)\b', self.guide))
        self.assertEqual(named - set(self.shipped), set())

    def test_shown_presets_are_the_shipped_files(self):
        shown = re.findall(r'`registry/([\w.-]+\.reg)`\)?:\s*\n+```reg\n(.*?)```', self.guide, re.S)
        self.assertTrue(shown, 'the guide shows no preset file')
        for name, text in shown:
            self.assertEqual(text, read('registry', name), name)
        # The reg add lines that follow the shown preset write the same four values.
        preset = {name: ('REG_DWORD', str(int(dword, 16))) if dword else ('REG_SZ', text)
                  for name, text, dword in re.findall(r'^"([^"]+)"=(?:"([^"]*)"|dword:([0-9a-f]{8}))$',
                                                      shown[0][1], re.M)}
        added = dict((n, (t, d)) for n, t, d in re.findall(
            r'^reg add "HKLM\\SOFTWARE\\Veltrane\\Orvane\\Parameters" /v (\S+) /t (\S+) /d (\S+) /f$', self.guide, re.M))
        self.assertEqual(added, preset)

    def test_package_properties_named_are_the_packages(self):
        wxs = read('installer', 'Kelvor.wxs')
        for name in set(re.findall(r'\bKELVOR_[A-Z]+\b', self.guide)):
            self.assertIn('[%s]' % name, wxs, name)


if __name__ == '__main__':
    unittest.main()
