"""The administrator's guide against what ships: every preset and task definition it names exists,
a preset it shows in full is shown exactly as the file in registry/ holds it, and its commands use
the options their tools have, Kelvor's own options and the packages' install path."""
import os
import re
import shlex
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from sources import HAND_OVER_BOUND, KEY_PATH, ROOT, STRINGS, read  # noqa: E402


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
            r'^reg add "HKLM\\%s" /v (\S+) /t (\S+) /d (\S+) /f$' % re.escape(KEY_PATH), self.guide, re.M))
        self.assertEqual(added, preset)

    def test_task_scheduler_commands(self):
        tasks = sorted(n for n in os.listdir(os.path.join(ROOT, 'tasks')) if n.endswith('.xml'))
        self.assertEqual(sorted(set(re.findall(r'\b(kelvor-[\w-]+\.xml)\b', self.guide))), tasks)
        # The Task Scheduler 1.0 line for XP and 2003 cannot be run under Wine 8 (its schtasks
        # takes neither /tr nor /ru): it is read as schtasks /create reads it.
        line = re.search(r'^\s*(schtasks /create /tn .*)$', self.guide, re.M).group(1)
        words = shlex.split(line)
        self.assertEqual(words[:2], ['schtasks', '/create'])
        options = dict(zip(words[2::2], words[3::2]))
        self.assertEqual(set(options), {'/tn', '/tr', '/sc', '/d', '/st', '/ru'})
        self.assertEqual((options['/sc'], options['/d'], options['/ru']), ('weekly', 'WED', 'System'))
        self.assertRegex(options['/st'], r'^\d\d:\d\d:\d\d$')  # XP's schtasks wants seconds
        # Kelvor at the path the packages install it to, with options of its own.
        wxs = read('installer', 'Kelvor.wxs')
        folders = re.findall(r'<Directory Id="(?!TARGETDIR)\w+" Name="(\w+)">', wxs)
        exe = re.search(r'<File Id="KelvorExe" Name="([\w.]+)"', wxs).group(1)
        program, *kelvor = shlex.split(options['/tr'])
        self.assertEqual(program, '\\'.join(['%ProgramFiles%'] + folders + [exe]))
        keywords = {text for name, text in STRINGS.items() if name.startswith('IDS_KEY_')}
        self.assertEqual([k for k in kelvor if k[1:] not in keywords], [])

    def test_package_properties_named_are_the_packages(self):
        wxs = read('installer', 'Kelvor.wxs')
        for name in set(re.findall(r'\bKELVOR_[A-Z]+\b', self.guide)):
            self.assertIn('[%s]' % name, wxs, name)

    def test_hand_over_bounds_are_the_codes(self):
        bound = int(HAND_OVER_BOUND)
        turn = bound * int(re.search(r'TurnBoundMs = (\d+) \* HandOverBoundMs;', read('app', 'app.h')).group(1))
        self.assertIn('for **%d seconds** at most' % bound, self.guide)
        self.assertIn('turn within %d seconds' % turn, self.guide)


if __name__ == '__main__':
    unittest.main()
