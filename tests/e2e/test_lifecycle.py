"""The real Kelvor.exe from start to end: the default request, Cancel, OK, Escape, the hand-over to
a newer instance, and the hidden main window."""
import time
import unittest

from wineharness import KelvorCase

SHUTDOWN_MESSAGE = 'This system is shutting down after receiving a remote shutdown request.'


class Lifecycle(KelvorCase):

    def test_default_request_counts_from_zero_then_shuts_down(self):
        k = self.kelvor()
        d = self.dialog()
        self.assertEqual(d['title'], 'Orvane')
        self.assertEqual(d['texts'][1004], '0')
        self.assertEqual(d['texts'][1007], SHUTDOWN_MESSAGE)
        self.assertEqual(d['texts'][1002], 'Shutdown will occur in:')
        self.assertEqual(d['texts'][1006], 'Press Cancel to abort shutdown.')
        self.assertEqual(k.wait(), 0)
        self.assertEqual(k.exit_requests(), [1])
        self.assertEqual(k.debug_lines(), ['Setting token'])

    def test_cancel_and_escape_abandon_the_request(self):
        for press in ('cancel', 'escape'):
            with self.subTest(press=press):
                k = self.kelvor()
                rc, _ = self.probe('press', press, 20000)
                self.assertEqual(rc, 0)
                self.assertEqual(k.wait(), 0)
                self.assertEqual(k.exit_requests(), [])
                self.assertEqual(k.debug_lines(), [])
                self.assertEqual(k.calls('advapi32.OpenProcessToken'), [])
                self.session.settle()


if __name__ == '__main__':
    unittest.main()
