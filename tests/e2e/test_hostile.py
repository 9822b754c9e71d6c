"""Hostile input to the real Kelvor.exe: huge and strange command lines, and registry values of
every type and awkward sizes. Whatever it does, it must not crash and must end with exit code 0."""
import os
import unittest

from wineharness import KELVOR_VALUES, RegistryCase

KEY = r'HKEY_LOCAL_MACHINE\SOFTWARE\Veltrane\Orvane\Parameters'


class Hostile(RegistryCase):

    def write_values(self, values):
        """values: {name: (type number, bytes)}, imported through a .reg file (any type, any size)."""
        lines = ['REGEDIT4', '', '[%s]' % KEY]
        for name, (rtype, data) in values.items():
            lines.append('"%s"=hex(%x):%s' % (name, rtype, ','.join('%02x' % b for b in data)))
        path = os.path.join(self.session.state, 'hostile.reg')
        with open(path, 'w', newline='\r\n') as f:
            f.write('\n'.join(lines) + '\n')
        self.session.import_reg(path)

    def assertSurvived(self, k, code):
        self.assertEqual(code, 0)
        self.assertFalse(k.crashed(), 'Kelvor.exe crashed')
        self.assertLessEqual(len(k.exit_requests()), 1)

    def run_exact(self, line):
        k = self.session.start_exact(line)
        self.started.append(k)
        k.wait(120)
        codes = [l.split()[1] for l in k.text().splitlines() if l.startswith('exit ')]
        return k, int(codes[0]) if codes else None

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
                k, code = self.run_exact(line)
                self.assertSurvived(k, code)
                self.assertEqual(k.exit_requests(), [])
                self.settle()

    def test_huge_countdown_is_shown_wrapped_and_cancellable(self):
        k = self.session.start_exact('"{exe}" /Time: ' + '9' * 10000)
        self.started.append(k)
        count = self.dialog()['texts'][1004]
        self.assertRegex(count, r'^-?\d+$')
        self.probe('press', 'cancel', 20000)
        k.wait(60)
        self.assertFalse(k.crashed())
        self.assertEqual(k.exit_requests(), [])

    def test_registry_values_of_every_size(self):
        for size in (0, 3, 4, 5, 49, 50, 51, 65536):
            with self.subTest(size=size):
                self.clear()
                self.write_values({name: (3, b'A' * size) for name in KELVOR_VALUES})
                k = self.kelvor('/Quiet')
                self.assertSurvived(k, k.wait(120))
                self.settle()

    def test_registry_values_of_every_type(self):
        payloads = {0: b'Reboot\0', 1: b'Reboot\0', 2: b'Reboot\0', 3: b'\1\0\0\0', 4: b'\1\0\0\0',
                    7: b'Reboot\0\0', 11: b'\1\0\0\0\0\0\0\0'}
        for rtype, data in payloads.items():
            with self.subTest(type=rtype):
                self.clear()
                self.write_values({name: (rtype, data) for name in KELVOR_VALUES})
                k = self.kelvor('/Quiet')
                self.assertSurvived(k, k.wait(120))
                self.settle()


if __name__ == '__main__':
    unittest.main()
