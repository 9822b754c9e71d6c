"""Static checks of a built Kelvor.exe (KELVOR_EXE; the i686 one cannot run here): PE kind, GUI
subsystem, imports, and every resource read back from the binary."""
import os
import struct
import unittest

import peread

EXE = os.environ.get('KELVOR_EXE', '')

STRINGS = {
    1: 'KelvorNT', 2: 'Orvane', 15: 'ShutDown.VLX',
    42: 'OpenProcessToken Error', 43: 'AdjustTokenPrivileges Error', 44: 'ExitWindows Error',
    45: 'SOFTWARE\\Veltrane\\Orvane\\Parameters', 46: 'ShutDown', 47: 'LogOff', 48: 'Disable',
    49: 'You are being logged off after receiving a remote shutdown request.',
    50: 'Log Off will occur in:', 51: 'Press Cancel to abort Log Off.',
    53: 'This system is rebooting after receiving a remote shutdown request.',
    54: 'Reboot', 55: 'Reboot will occur in:', 56: 'Press Cancel to abort Reboot.',
    57: 'Force', 58: 'Quiet', 59: 'Time:', 60: 'Show', 61: 'PowerDown',
}

BUTTON, STATIC = 0x80, 0x82
# Template order: id, class, style, x, y, cx, cy, text.
CONTROLS = [
    (2, BUTTON, 0x50010000, 75, 70, 40, 15, 'Cancel'),
    (1007, STATIC, 0x50020001, 10, 5, 125, 25,
     'This system is shutting down after receiving a remote shutdown request.'),
    (1002, STATIC, 0x50020002, 10, 35, 74, 10, 'Shutdown will occur in:'),
    (1003, STATIC, 0x50020000, 105, 35, 35, 10, 'Seconds.'),
    (-1, STATIC, 0x50000003, 5, 70, 18, 20, 101),
    (-1, STATIC, 0x50000003, 125, 70, 18, 20, 102),
    (1004, STATIC, 0x50030001, 88, 35, 16, 10, '20'),
    (1, BUTTON, 0x50010000, 25, 70, 40, 15, 'OK'),
    (1006, STATIC, 0x50020001, 13, 50, 120, 10, 'Press Cancel to abort shutdown.'),
]

VERSION_STRINGS = {
    'FileVersion': '1.2.1h', 'ProductVersion': '1.2.1h', 'ProductName': 'Orvane', 'Comments': 'Orvane',
    'CompanyName': 'Veltrane', 'InternalName': 'Kelvor', 'OriginalFilename': 'Kelvor.exe',
}


class Binary(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        assert os.path.exists(EXE), 'KELVOR_EXE not built: %r' % EXE
        cls.pe = peread.PE(EXE)
        cls.res = cls.pe.resources()
        cls.i686 = cls.pe.machine == 0x14C

    def test_pe_kind_and_gui_subsystem(self):
        if self.i686:
            self.assertEqual(self.pe.magic, 0x10B, 'not PE32')
        else:
            self.assertEqual((self.pe.machine, self.pe.magic), (0x8664, 0x20B))
        self.assertEqual(self.pe.subsystem, 2, 'not the Windows GUI subsystem')

    def test_imports_only_system_dlls_and_never_writes_the_registry(self):
        imports = {dll.lower(): names for dll, names in self.pe.imports().items()}
        self.assertEqual(sorted(imports), ['advapi32.dll', 'kernel32.dll', 'msvcrt.dll', 'user32.dll'])
        self.assertEqual(sorted(imports['advapi32.dll']),
                         ['AdjustTokenPrivileges', 'LookupPrivilegeValueA', 'OpenProcessToken', 'RegCloseKey',
                          'RegOpenKeyExA', 'RegQueryValueExA'])
        # 8-bit text interfaces only.
        wide = [n for names in imports.values() for n in names if n.endswith('W')]
        self.assertEqual(wide, [])

    def test_string_table(self):
        table = peread.string_table(self.res)
        self.assertEqual({i: text for i, (text, _) in table.items()}, STRINGS)
        self.assertEqual({lang for _, lang in table.values()}, {1033})

    def test_countdown_dialog_template(self):
        dialogs = {name: data for (rtype, name, _), data in self.res.items() if rtype == peread.RT_DIALOG}
        self.assertEqual(list(dialogs), [105])
        d = peread.dialog(dialogs[105])
        self.assertEqual((d['style'], d['exstyle']), (0x80C000C0, 0))
        self.assertEqual(d['rect'][2:], (146, 92))
        self.assertEqual((d['points'], d['font']), (14, 'Arial'))
        self.assertEqual((d['menu'], d['cls']), ('', ''))
        got = [(i['id'], i['cls'], i['style'], *i['rect'], i['text']) for i in d['items']]
        self.assertEqual(got, CONTROLS)
        self.assertEqual({i['exstyle'] for i in d['items']}, {0})

    def test_icons_have_32_and_16_pixel_images_in_16_colours(self):
        groups = {name: data for (rtype, name, _), data in self.res.items() if rtype == peread.RT_GROUP_ICON}
        self.assertEqual(sorted(groups), [101, 102])
        icons = {name: data for (rtype, name, _), data in self.res.items() if rtype == peread.RT_ICON}
        for name, data in groups.items():
            entries = peread.group_icon(data)
            self.assertEqual(sorted((w, h, c, b) for w, h, c, b, _ in entries),
                             [(16, 16, 16, 4), (32, 32, 16, 4)], name)
            for w, _, _, _, icon_id in entries:
                size, width, height, _, bits = struct.unpack_from('<IiiHH', icons[icon_id])
                self.assertEqual((size, width, height, bits), (40, w, 2 * w, 4), name)

    def test_version_block(self):
        versions = [data for (rtype, _, _), data in self.res.items() if rtype == peread.RT_VERSION]
        self.assertEqual(len(versions), 1)
        fixed, strings, translations = peread.version_info(versions[0])
        self.assertEqual(fixed[0], 0xFEEF04BD)
        self.assertEqual(fixed[2:6], (0x00010002, 0x00010008, 0x00010002, 0x00010008))
        self.assertEqual(list(strings), ['040904e4'])
        block = strings['040904e4']
        for key, value in VERSION_STRINGS.items():
            self.assertEqual(block.get(key), value, key)
        self.assertTrue(block.get('FileDescription') and block.get('LegalCopyright'))
        self.assertEqual(translations, [(0x0409, 1252)])


if __name__ == '__main__':
    unittest.main()
