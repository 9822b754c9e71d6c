"""Registry presets read by the real Kelvor.exe from Wine's registry (HKLM, in the view the exe
reads), each case writing its own values and removing the key afterwards."""
import unittest

from wineharness import ACTION, ARCH, COUNT, KEY, KEY_PATH, OTHER_VIEW, VIEW, RegistryCase


class Registry(RegistryCase):

    def preset(self, mode='', force=None, quiet=None, count=0, view=VIEW):
        """Writes the mode word (REG_SZ) and the numbers (REG_DWORD); None leaves a value out."""
        values = [(KEY, 'ShutDown.VLX', 'REG_SZ', mode)]
        values += [(KEY, name, 'REG_DWORD', value) for name, value in
                   (('ForceMode', force), ('QuietMode', quiet), ('ShutCount', count)) if value is not None]
        self.session.write_values(values, view)

    def test_only_the_view_the_exe_reads_counts(self):
        # What an administrator meets on 64-bit Windows: the 32-bit exe reads the 32-bit view
        # (Wow6432Node), the 64-bit exe the 64-bit one; a preset in the other view is not seen.
        self.preset('Reboot', count=2, view=OTHER_VIEW)
        k = self.kelvor('/Quiet')
        self.assertEqual(k.wait(), 0)
        self.assertEqual(k.exit_requests(), [1], '%s exe read the %s view' % (ARCH, OTHER_VIEW))
        self.settle()
        self.preset('Reboot', count=2)
        self.run_kelvor('/Quiet', requests=[2])

    def test_mode_reboot_without_options_reboots(self):
        self.preset('Reboot')
        k = self.kelvor()
        d = self.dialog()
        self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '0'))
        self.finished(k, [2])
        opened = k.calls('advapi32.RegOpenKeyExA')
        self.assertEqual([(o[1].replace('\\\\', '\\'), o[3]) for o in opened], [(KEY_PATH, 0x20019)])

    def test_disable_ends_at_once_unless_the_command_line_names_the_action(self):
        self.preset('Disable')
        k = self.run_kelvor(requests=[], dialogs=0)
        self.assertEqual(k.debug_lines(), [])
        self.run_kelvor('/PowerDown', '/Quiet', requests=[])
        self.run_kelvor('/ShutDown', '/Quiet', requests=[1])

    def test_quiet_mode_skips_the_dialog_unless_show(self):
        self.preset('none', quiet=1)
        self.run_kelvor('/LogOff', requests=[0], dialogs=0)
        k = self.kelvor('/LogOff', '/Show')
        self.assertEqual(self.dialog()['texts'][COUNT], '0')
        self.finished(k, [0])

    def test_shut_count_sets_the_countdown(self):
        for count, shown in ((2, ['2', '1', '0']), (-3, ['-3'])):
            with self.subTest(count=count):
                self.preset('LogOff', count=count)
                k = self.kelvor()
                rc, lines = self.probe('count', 30000, timeout=60)
                self.assertEqual(rc, 0)
                self.assertEqual([rest.split(' ', 1)[1] for key, rest in lines if key == 'count'], shown)
                self.finished(k, [0])
                # About one second per value shown; the request comes one tick after the last.
                taken = k.call_times('user32.ExitWindowsEx')[0] - k.call_times('user32.DialogBoxParamA')[0]
                self.assertGreater(taken, len(shown) - 0.3)

    def test_force_mode_adds_force_and_needs_shut_count(self):
        self.preset('none', force=1)
        self.run_kelvor('/Reboot', '/Quiet', requests=[6])
        self.clear()
        self.preset('none', force=1, count=None)  # no ShutCount: nothing is applied
        self.run_kelvor('/Reboot', '/Quiet', requests=[2])


if __name__ == '__main__':
    unittest.main()
