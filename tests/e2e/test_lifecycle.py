"""The real Kelvor.exe from start to end: the default request, keys and clicks, the count,
the texts per action, the hand-over to a newer instance, and the hidden main window."""
import time
import unittest

from wineharness import ACTION, COUNT, HAND_OVER_BOUND, HINT, MESSAGE, SECONDS, KelvorCase

SHUTDOWN_TEXTS = {
    MESSAGE: 'This system is shutting down after receiving a remote shutdown request.',
    ACTION: 'Shutdown will occur in:',
    HINT: 'Press Cancel to abort shutdown.',
}
REBOOT_TEXTS = {
    MESSAGE: 'This system is rebooting after receiving a remote shutdown request.',
    ACTION: 'Reboot will occur in:',
    HINT: 'Press Cancel to abort Reboot.',
}
LOGOFF_TEXTS = {
    MESSAGE: 'You are being logged off after receiving a remote shutdown request.',
    ACTION: 'Log Off will occur in:',
    HINT: 'Press Cancel to abort Log Off.',
}


class Lifecycle(KelvorCase):

    def assertTexts(self, dialog, texts, count):
        for item, text in texts.items():
            self.assertEqual(dialog['texts'][item], text, item)
        self.assertEqual(dialog['texts'][COUNT], count)
        self.assertEqual(dialog['texts'][SECONDS], 'Seconds.')

    def test_default_request_counts_from_zero_then_shuts_down(self):
        k = self.kelvor()
        d = self.dialog()
        self.assertEqual(d['title'], 'Orvane')
        self.assertTexts(d, SHUTDOWN_TEXTS, '0')
        self.finished(k, [1])
        self.assertEqual(k.calls('kernel32.Sleep'), [[1000]])
        self.assertEqual(k.debug_lines(), ['Setting token'])
        # About one second from the dialog to the request: one tick, then the 1000 ms pause.
        opened = k.call_times('user32.DialogBoxParamA')[0]
        self.assertGreater(k.call_times('user32.ExitWindowsEx')[0] - opened, 1.9)

    def test_only_a_deliberate_answer_goes_ahead(self):
        """Keys and clicks as a person makes them: a stray Enter or Space cancels; the focus moved to
        OK on purpose (past the count, which is a tab stop) then Space, or a click on OK, goes ahead
        at once, long before the count would."""
        CANCELS, MAY_IGNORE, GOES_AHEAD = 'cancels', 'cancels or is ignored', 'goes ahead'
        for keys, outcome in ((['Return'], CANCELS), (['space'], CANCELS), (['Escape'], CANCELS),
                              (['alt+F4'], MAY_IGNORE), (['Tab', 'Return'], CANCELS), (['click'], CANCELS),
                              (['Tab', 'Tab', 'space'], GOES_AHEAD), (['click OK'], GOES_AHEAD)):
            with self.subTest(keys=keys):
                k = self.kelvor('/Reboot', '/Time:', '30')
                if keys[0].startswith('click'):
                    d = self.dialog()
                    self.click(1 if keys == ['click OK'] else 2, d)
                else:
                    d = self.keys(*keys)
                deadline = time.time() + 15
                while k.running() and time.time() < deadline:
                    time.sleep(0.2)
                if outcome == MAY_IGNORE and k.running():
                    self.click(2)
                self.assertFalse(outcome == GOES_AHEAD and k.running(), 'still counting')
                self.finished(k, [2] if outcome == GOES_AHEAD else [])
                if outcome != GOES_AHEAD:
                    self.assertEqual(k.debug_lines(), [])
                    self.assertEqual(k.calls('advapi32.OpenProcessToken'), [])
                    self.assertEqual(k.calls('user32.MessageBoxA'), [])
                # As it opened, Cancel had the focus and was the default button (its heavy border).
                self.assertEqual((d['focus'], d['default']), ('2', '2'))
                styles = {i['id']: i['style'] & 0xF for i in d['items'] if i['class'] == 'Button'}
                self.assertEqual(styles, {2: 1, 1: 0})

    def test_count_runs_down_then_acts_one_tick_after_zero(self):
        k = self.kelvor('/Reboot', '/Time:', '3')
        rc, lines = self.probe('count', 30000, timeout=60)
        self.assertEqual(rc, 0)
        shown = [rest.split(' ', 1) for key, rest in lines if key == 'count']
        self.assertEqual([text for _, text in shown], ['3', '2', '1', '0'])
        steps = [int(b[0]) - int(a[0]) for a, b in zip(shown, shown[1:])]
        for step in steps:
            self.assertTrue(700 < step < 1500, steps)
        self.finished(k, [2])

    def test_texts_name_the_action(self):
        for args, texts in ((['/Reboot'], REBOOT_TEXTS), (['/LogOff'], LOGOFF_TEXTS),
                            (['/PowerDown'], SHUTDOWN_TEXTS), (['/ShutDown'], SHUTDOWN_TEXTS)):
            with self.subTest(args=args):
                k = self.kelvor(*args, '/Time:', '25')
                self.assertTexts(self.dialog(), texts, '25')
                self.press('cancel')
                self.finished(k, [])

    def test_quiet_shows_no_dialog(self):
        self.run_kelvor('/Quiet', '/Reboot', '/Time:', '30', requests=[2], dialogs=0)

    def test_newer_instance_replaces_the_earlier_one(self):
        first = self.kelvor('/Time:', '60')
        d1 = self.dialog()
        second = self.kelvor('/Reboot', '/Time:', '60')
        self.assertEqual(first.wait(), 0)
        self.assertEqual(first.exit_requests(), [])
        self.assertEqual(first.calls('advapi32.OpenProcessToken'), [])
        d2 = self.dialog()
        self.assertNotEqual(d2['pid'], d1['pid'])
        self.assertTexts(d2, REBOOT_TEXTS, '60')
        self.assertEqual(self.session.windows(), (1, 1))
        # The earlier window was told to end, and went long before the bound for one that stays.
        ended, _, waited = second.hand_over()
        self.assertEqual(ended, first.returns('user32.CreateWindowExA'))
        self.assertLess(waited, HAND_OVER_BOUND / 2)
        print('hand-over: the earlier window gone %.2f s after the posts' % waited)
        self.press('cancel')
        self.finished(second, [])

    def test_main_window_is_hidden_and_cannot_be_resized_from_its_menu(self):
        k = self.kelvor('/Time:', '30')
        self.dialog()
        rc, lines = self.probe('main')
        self.assertEqual(rc, 0)
        main = dict(lines)
        self.assertEqual((main['class'], main['title'], main['visible']), ('KelvorNT', 'Orvane', '0'))
        self.assertEqual(int(main['style'], 16) & 0xFFFF0000 & ~0x0C000000, 0x80C80000)
        menu = k.returns('user32.GetSystemMenu')
        self.assertEqual(len(menu), 1)
        self.assertNotEqual(menu[0], 0)
        self.assertEqual(k.calls('user32.DeleteMenu'),
                         [[menu[0], 0xF020, 0], [menu[0], 0xF030, 0], [menu[0], 0xF120, 0], [menu[0], 0xF000, 0]])
        self.assertEqual(k.returns('user32.DeleteMenu'), [1, 1, 1, 1])
        self.press('cancel')
        self.finished(k, [])


if __name__ == '__main__':
    unittest.main()
