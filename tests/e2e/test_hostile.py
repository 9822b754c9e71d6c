"""Hostile input to the real Kelvor.exe: huge and strange command lines, registry values of every
type and awkward sizes, and earlier windows that do not go. Whatever it does, it must not crash,
must end with exit code 0, and must not wait for ever."""
import os
import signal
import time
import unittest

from wineharness import COUNT, HAND_OVER_BOUND, KELVOR_VALUES, KEY, Imitation, RegistryCase


class Hostile(RegistryCase):

    def write_values(self, values):
        """values: {name: (type number, bytes)}: any type, any size."""
        self.session.write_values([(KEY, name, rtype, data) for name, (rtype, data) in values.items()])

    def assertSurvived(self, k, timeout=60):
        self.assertEqual(k.wait(timeout), 0, k.tail())
        self.assertFalse(k.crashed(), 'Kelvor.exe crashed')
        self.assertLessEqual(len(k.exit_requests()), 1)

    def test_strange_command_lines(self):
        # Disabled in the registry, so that a line naming no action ends at once, having been read.
        self.write_values({'ShutDown.VLX': (1, b'Disable\0'), 'ShutCount': (4, b'\0\0\0\0')})
        lines = {
            '32,000 characters': '"{exe}" /' + 'x' * 31990,
            'high bytes and controls': '"{exe}" /\x80\x9f\xa0\xff /\x01\x02\x1b\x7f /Time:\x85 /Show\xa0/Quiet',
            '10,000 digits': '"{exe}" /Time: ' + '9' * 10000 + ' /Force',
        }
        for name, line in lines.items():
            with self.subTest(line=name):
                k = self.exact(line)
                self.assertSurvived(k, 20)  # disabled: it ends at once
                self.assertEqual(k.exit_requests(), [])
                self.settle()

    def test_huge_countdown_is_shown_wrapped_and_cancellable(self):
        k = self.exact('"{exe}" /Time: ' + '9' * 10000)
        self.assertRegex(self.dialog()['texts'][COUNT], r'^-?\d+$')
        self.press('cancel')
        self.assertSurvived(k)
        self.assertEqual(k.exit_requests(), [])

    def test_registry_values_of_every_size(self):
        for size in (0, 3, 4, 5, 49, 50, 51, 65536):
            with self.subTest(size=size):
                self.clear()
                self.write_values({name: (3, b'A' * size) for name in KELVOR_VALUES})
                self.assertSurvived(self.kelvor('/Quiet'))
                self.settle()

    def test_registry_values_of_every_type(self):
        payloads = {0: b'Reboot\0', 1: b'Reboot\0', 2: b'Reboot\0', 3: b'\1\0\0\0', 4: b'\1\0\0\0',
                    7: b'Reboot\0\0', 11: b'\1\0\0\0\0\0\0\0'}
        for rtype, data in payloads.items():
            with self.subTest(type=rtype):
                self.clear()
                self.write_values({name: (rtype, data) for name in KELVOR_VALUES})
                self.assertSurvived(self.kelvor('/Quiet'))
                self.settle()

    def assertGaveUp(self, k, windows, start_bound=None):
        """k told `windows` to end, waited the bound for one that stayed, then went on: its window
        created, and its dialog (unless a later Kelvor ended it first) within `start_bound` seconds
        of its start."""
        ended, sleeps, waited = k.hand_over()
        self.assertEqual(sorted(ended), sorted(windows))
        self.assertLessEqual(sleeps, HAND_OVER_BOUND * 10 + 1)
        self.assertTrue(HAND_OVER_BOUND - 0.2 < waited < HAND_OVER_BOUND + 1.5, waited)
        print('%s gave up after %.2f s' % (k.log, waited))
        if start_bound:
            shown = k.since_start('user32.DialogBoxParamA')
            self.assertIsNotNone(shown, 'no countdown: ' + k.tail())
            self.assertLess(shown, start_bound)
            print('  its dialog %.2f s after its start' % shown)

    def test_a_window_that_cannot_be_ended_holds_a_request_only_for_the_bound(self):
        """An imitation that ignores the posts, and an earlier Kelvor whose process is stopped with
        its countdown on screen, each hold a later Kelvor for the bound, no longer; it then carries
        out its own request, and one started while it waits ends it and does the same."""
        imitation = Imitation(self.session)
        try:
            with self.subTest(blocker='imitation'):
                second = self.kelvor('/Reboot', '/Time:', '5')
                time.sleep(1)
                third = self.kelvor('/Reboot', '/Time:', '5')
                self.assertEqual(second.wait(3 * HAND_OVER_BOUND + 30), 0)
                self.assertEqual(second.exit_requests(), [])
                self.assertGaveUp(second, [imitation.window])
                self.finished(third, [2])
                self.assertGaveUp(third, [imitation.window, second.returns('user32.CreateWindowExA')[0]],
                                  2 * HAND_OVER_BOUND + 5)
                self.assertEqual(imitation.messages(), [(2, 1), (0x82, 1)] * 2)  # never a close
        finally:
            imitation.kill()
            self.settle()
        with self.subTest(blocker='stopped Kelvor'):
            first = self.kelvor('/Time:', '60')
            d1 = self.dialog()
            os.kill(first.proc.pid, signal.SIGSTOP)
            try:
                second = self.kelvor('/Reboot', '/Time:', '5')
                rc, _ = self.probe('new-dialog', d1['pid'], 60000, timeout=90)
                self.assertEqual(rc, 0, 'no countdown of the second')
            finally:
                os.kill(first.proc.pid, signal.SIGCONT)
            # Once it runs again, the earlier one takes the posts that waited for it and ends.
            self.assertEqual(first.wait(), 0)
            self.assertEqual(first.exit_requests(), [])
            self.finished(second, [2])
            self.assertGaveUp(second, [first.returns('user32.CreateWindowExA')[0]], HAND_OVER_BOUND + 5)


if __name__ == '__main__':
    unittest.main()
