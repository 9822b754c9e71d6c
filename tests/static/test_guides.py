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

sys.path.insert(0, os.path.join(ROOT, 'scripts'))
import maintenance  # noqa: E402


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

    def test_maintenance_window_commands(self):
        titles = [title for title, _, _ in maintenance.definitions(ROOT)]
        made = maintenance.files(ROOT)
        shipped = set(os.listdir(os.path.join(ROOT, 'tasks'))) | {name.split('/')[-1] for name in made}
        self.assertEqual(set(re.findall(r'\b(kelvor-[\w-]+\.(?:xml|cmd|ps1))\b', self.guide)), shipped)
        for name in made:  # where the zip has them
            self.assertRegex(self.guide, re.escape(name).replace('/', r'[/\\\\]'))
        self.assertEqual(set(re.findall(r'/tn "([^"]+)"', self.guide)), set(titles))
        script = read('tasks', 'kelvor-tasks.cmd')
        self.assertEqual(set(re.findall(r'kelvor-tasks\.cmd (\w+)', self.guide)),
                         set(re.findall(r'if /i "%~1"=="(\w+)"', script)))
        self.assertIn('`%%windir%%\\System32\\Tasks`, File or folder `%s`' % maintenance.WINDOW, self.guide)
        # Task Scheduler 1.0's lines, which Wine 8's schtasks cannot run (it takes neither /tr nor
        # /ru), read as schtasks /create reads them: Kelvor at the packages' path with options of its
        # own, a countdown only while its user is logged on, the window's batch file run as System.
        wxs = read('installer', 'Kelvor.wxs')
        folder = '\\'.join(['%ProgramFiles%'] + re.findall(r'<Directory Id="(?!TARGETDIR)\w+" Name="(\w+)">', wxs))
        exe = re.search(r'<File Id="KelvorExe" Name="([\w.]+)"', wxs).group(1)
        self.assertIn('copy xp\\kelvor-window.cmd "%s\\"' % folder, self.guide)
        created = {}
        for line in re.findall(r'^\s*(schtasks /create /tn .*)$', self.guide, re.M):
            words = shlex.split(line)[2:]
            options = {}
            while words:
                option = words.pop(0)
                options[option] = None if option == '/it' else words.pop(0)
            self.assertRegex(options['/st'], r'^\d\d:\d\d:\d\d$')  # XP's schtasks wants seconds
            created[options['/tn']] = options
        self.assertEqual(sorted(created), sorted(titles))
        countdown, window = created[maintenance.COUNTDOWN], created[maintenance.WINDOW]
        program, *kelvor = shlex.split(countdown['/tr'])
        self.assertEqual(program, folder + '\\' + exe)
        keywords = {text for name, text in STRINGS.items() if name.startswith('IDS_KEY_')}
        self.assertEqual([k for k in kelvor if not (k[1:] in keywords or k.isdigit())], [])
        self.assertEqual([k for k in kelvor if k in ('/Force', '/Quiet')], [])
        self.assertIn('/it', countdown)
        self.assertNotEqual(countdown['/ru'].lower(), 'system')
        self.assertEqual(shlex.split(window['/tr']), [folder + '\\kelvor-window.cmd'])
        self.assertEqual((window['/sc'], window['/ru']), ('weekly', 'System'))

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
