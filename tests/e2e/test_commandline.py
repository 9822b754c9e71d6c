"""The command line of the real Kelvor.exe: every row of the action table, and the exact command
lines where Kelvor's own tail rules differ from a C runtime's."""
import unittest

from wineharness import ACTION, COUNT, KelvorCase

# Options, pause before the call (ms, or None) and the ExitWindowsEx flags.
ACTIONS = [
    (['/LogOff'], None, 0),
    (['/Reboot'], None, 2),
    (['/PowerDown'], None, 8),
    (['/ShutDown'], 1000, 1),
    (['/LogOff', '/Force'], 1000, 4),
    (['/Reboot', '/Force'], None, 6),
    (['/PowerDown', '/Force'], None, 12),
    (['/ShutDown', '/Force'], 1000, 5),
]


class ActionTable(KelvorCase):

    def test_each_action_makes_its_exit_request(self):
        for options, pause, flags in ACTIONS:
            with self.subTest(options=options):
                k = self.run_kelvor('/Quiet', *options, requests=[flags], dialogs=0)
                self.assertEqual(k.calls('kernel32.Sleep'), [[pause]] if pause else [])


class ExactCommandLines(KelvorCase):
    """Started by the probe with CreateProcessA, so quotes and leading blanks arrive as written."""

    def test_quoted_name_followed_directly_by_options(self):
        # A C runtime that toggles on quotes would swallow /Reboot into the program name.
        for line in ('"{exe}"/Reboot /Time: 40', '""/Reboot /Time: 40', '"{exe}"  /Reboot   /Time: 40'):
            with self.subTest(line=line):
                k = self.exact(line)
                d = self.dialog()
                self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '40'))
                self.press('cancel')
                self.finished(k, [])

    def test_lines_whose_options_are_not_read(self):
        # A leading blank hands the program name over as the first word, which ends the options;
        # an unterminated quote leaves no tail. Either way the default request: count 0, shutdown.
        for line in (' {exe} /Reboot /Time: 40', '"{exe} /Reboot /Time: 40'):
            with self.subTest(line=line):
                k = self.exact(line)
                d = self.dialog()
                self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Shutdown will occur in:', '0'))
                self.finished(k, [1])


if __name__ == '__main__':
    unittest.main()
