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

    def test_quoted_names_blanks_and_lines_whose_options_are_not_read(self):
        # A C runtime that toggles on quotes would swallow /Reboot into the program name. A leading
        # blank hands the program name over as the first word, which ends the options; an
        # unterminated quote leaves no tail: either way the default request, count 0, shutdown.
        read, unread = ('Reboot will occur in:', '40', []), ('Shutdown will occur in:', '0', [1])
        for line, (label, count, requests) in (('"{exe}"/Reboot /Time: 40', read), ('""/Reboot /Time: 40', read),
                                               ('"{exe}"  /Reboot   /Time: 40', read),
                                               (' {exe} /Reboot /Time: 40', unread),
                                               ('"{exe} /Reboot /Time: 40', unread)):
            with self.subTest(line=line):
                k = self.exact(line)
                d = self.dialog()
                self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), (label, count))
                if not requests:
                    self.press('cancel')
                self.finished(k, requests)


if __name__ == '__main__':
    unittest.main()
