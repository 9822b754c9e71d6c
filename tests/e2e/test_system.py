"""Kelvor against the system around it: the Windows families (through Wine's version setting), the
screen it is placed on and its DPI, and an exit call that fails."""
import time
import unittest

from wineharness import ARCH, KelvorCase


class Platforms(KelvorCase):

    def run_as(self, version, *args, requests):
        self.session.reg('add', r'HKCU\Software\Wine', '/v', 'Version', '/d', version, '/f')
        try:
            return self.run_kelvor(*args, requests=requests)
        finally:
            self.session.reg('delete', r'HKCU\Software\Wine', '/v', 'Version', '/f', check=False)

    def test_nt_enables_the_privilege_first(self):
        # XP, 7 and 10 each read the manifest their own way (Wine: by the version it reports).
        for version in ('winxp', 'win7', 'win10'):
            with self.subTest(version=version):
                k = self.run_as(version, '/Quiet', '/Reboot', requests=[2])
                self.assertEqual(k.debug_lines(), ['Setting token'])
                self.assertEqual([a[1] for a in k.calls('advapi32.OpenProcessToken')], [0x28])
                adjust = k.calls('advapi32.AdjustTokenPrivileges')
                self.assertEqual(len(adjust), 1)
                self.assertEqual((adjust[0][1], adjust[0][3:]), (0, [0, 0, 0]))
                log = k.text()
                self.assertLess(log.index('Call advapi32.AdjustTokenPrivileges'),
                                log.index('Call user32.ExitWindowsEx'))

    def test_9x_skips_the_privilege_and_the_debugger_line(self):
        k = self.run_as('win98', '/Quiet', '/Reboot', requests=[2])
        self.assertEqual(k.debug_lines(), [])
        self.assertEqual(k.calls('advapi32.OpenProcessToken'), [])

    def test_win32s_ends_at_once_without_a_window(self):
        k = self.run_as('win31', '/Quiet', '/Reboot', requests=[])
        self.assertEqual(k.calls('user32.CreateWindowExA'), [])
        self.assertEqual(k.calls('user32.DialogBoxParamA'), [])


class Placement(KelvorCase):
    """Centred horizontally, a third of the free height from the top, topmost and foreground, on
    screens of two sizes (each a display of its own)."""

    def test_placement(self):
        try:
            for screen in ((1280, 1024), (800, 600)):
                with self.subTest(screen=screen):
                    self.session.ensure(screen)
                    k = self.kelvor('/Time:', '30')
                    d = self.dialog()
                    x, y, w, h = d['rect']
                    sw, sh = d['screen']
                    self.assertEqual((sw, sh), screen)
                    self.assertEqual((x, y), (int((sw - w) / 2), int((sh - h) / 3)), d['rect'])
                    self.assertTrue(int(d['exstyle'], 16) & 0x8, 'not topmost')
                    self.assertEqual(d['foreground'], '1')
                    self.press('cancel')
                    self.finished(k, [])
        finally:
            self.session.ensure(self.screen)


class Legibility(KelvorCase):
    """Every text of every action shows in full with room to spare (Windows' Arial may round wider
    than the Liberation Sans Wine draws it with), the count too for the longest countdown offered.
    Measured on the shipping exe: both hold the same template and texts (the static checks read
    them back from each)."""

    MARGIN = 2  # pixels, spare in width (each text broken into lines this much narrower) and height

    @unittest.skipUnless(ARCH == 'i686', 'the same dialog as the shipping exe\'s')
    def test_every_text_fits_its_control_at_every_dpi(self):
        desktop = r'HKCU\Control Panel\Desktop'
        try:
            for dpi in (96, 120, 144, 192):
                self.session.reg('add', desktop, '/v', 'LogPixels', '/t', 'REG_DWORD', '/d', str(dpi), '/f')
                self.session.stop_wine()  # the DPI is read as the session starts
                self.session.ensure(self.screen)
                # A day, the most the packages and the template offer; at 96 DPI also the longest count
                # there is, which shows only in part.
                longest = (('/Time:', '2147483648'),) if dpi == 96 else ()
                for args in (('/Time:', '86400'), ('/LogOff', '/Time:', '86400'), ('/Reboot', '/Time:', '86400'),
                             *longest):
                    with self.subTest(dpi=dpi, args=args):
                        k = self.kelvor(*args)
                        d = self.dialog(margin=self.MARGIN)
                        self.press('cancel')
                        self.finished(k, [])
                        self.assertEqual(len(d['extents']), 5)
                        for item, (w, h, client_w, client_h) in d['extents'].items():
                            text = d['texts'][item]
                            print('%d dpi: %r needs %dx%d of its %dx%d' % (dpi, text, w, h, client_w, client_h))
                            if text != '-2147483648':
                                self.assertTrue(w + self.MARGIN <= client_w and h + self.MARGIN <= client_h,
                                                '%r needs %dx%d, has %dx%d' % (text, w, h, client_w, client_h))
        finally:
            self.session.reg('delete', desktop, '/v', 'LogPixels', '/f', check=False)
            self.session.stop_wine()
            self.session.ensure(self.screen)


class FailingExit(KelvorCase):
    """Wine's ExitWindowsEx starts wineboot.exe; without it the call fails."""

    def test_failed_exit_call_shows_its_box_and_waits_for_it(self):
        with self.session.without_wineboot():
            k = self.kelvor('/LogOff', '/Time:', '0')
            rc, lines = self.probe('box', 20000, timeout=60)
            self.assertEqual(rc, 0, 'no error box')
            box = dict(lines)
            self.assertEqual(box['title'], 'Orvane')
            texts = [rest.split(' ', 8)[-1] for key, rest in lines if key == 'item']
            shown = [t for t in texts if t.startswith('ExitWindows Error')]
            self.assertEqual(len(shown), 1, texts)
            self.assertRegex(shown[0], r'^ExitWindows Error #-?\d+$')
            self.assertEqual(k.exit_requests(), [0])
            # No owner, the title, OK and the exclamation icon (MB_ICONEXCLAMATION).
            self.assertEqual([[a[0]] + a[2:] for a in k.calls('user32.MessageBoxA')], [[0, 'Orvane', 0x30]])
            time.sleep(1)
            self.assertTrue(k.running(), 'ended before the box was dismissed')
            self.assertEqual(self.probe('box-ok', 5000)[0], 0)
            self.finished(k, [0])


if __name__ == '__main__':
    unittest.main()
