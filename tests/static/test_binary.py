"""Static checks of a built Kelvor.exe (KELVOR_EXE): PE kind, GUI subsystem, the versions and imports
that keep it running on Windows 95 and NT 4, and every resource read back from the binary."""
import os
import re
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

import pefile

EXE = os.environ.get('KELVOR_EXE', '')
RT = pefile.RESOURCE_TYPE

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
    (1003, STATIC, 0x50020000, 111, 35, 33, 10, 'Seconds.'),
    (-1, STATIC, 0x50000003, 5, 70, 18, 20, 101),
    (-1, STATIC, 0x50000003, 125, 70, 18, 20, 102),
    (1004, STATIC, 0x50030001, 85, 35, 25, 10, '20'),
    (1, BUTTON, 0x50010000, 25, 70, 40, 15, 'OK'),
    (1006, STATIC, 0x50020001, 13, 50, 120, 10, 'Press Cancel to abort shutdown.'),
]

VERSION_STRINGS = {
    'FileVersion': '1.2.1h', 'ProductVersion': '1.2.1h', 'ProductName': 'Orvane', 'Comments': 'Orvane',
    'CompanyName': 'Veltrane', 'InternalName': 'Kelvor', 'OriginalFilename': 'Kelvor.exe',
}


# What the exe may import: functions present on both Windows 95 and Windows NT 4.0, as each one's
# Requirements section in the Platform SDK reference (MSDN Library, 2001) states ("Windows 95 or
# later", "Windows NT 3.1/3.51/4.0 or later"). msvcrt.dll is a system DLL from NT 4.0 and Windows 98
# on; the first Windows 95 release does not ship it. A new import joins this list only after that check.
OLD_WINDOWS_IMPORTS = {
    'advapi32.dll': {'AdjustTokenPrivileges', 'LookupPrivilegeValueA', 'OpenProcessToken', 'RegCloseKey',
                     'RegOpenKeyExA', 'RegQueryValueExA'},
    'kernel32.dll': {'CloseHandle', 'CreateMutexA', 'ExitProcess', 'GetCommandLineA', 'GetCurrentProcess',
                     'GetLastError', 'GetModuleHandleA', 'GetStartupInfoA', 'GetTickCount', 'GetVersionExA',
                     'OutputDebugStringA', 'ReleaseMutex', 'Sleep', 'WaitForSingleObject', 'lstrcmpA', 'lstrcmpiA'},
    'msvcrt.dll': {'_beginthread', '_endthread', 'isspace', 'memchr'},
    'user32.dll': {'BringWindowToTop', 'CreateWindowExA', 'DefWindowProcA', 'DeleteMenu', 'DestroyWindow',
                   'DialogBoxParamA', 'DispatchMessageA', 'EndDialog', 'ExitWindowsEx', 'FindWindowExA', 'GetDlgItem',
                   'GetMessageA', 'GetSystemMenu', 'GetSystemMetrics', 'GetWindowRect', 'KillTimer', 'LoadCursorA',
                   'LoadImageA', 'LoadStringA', 'MessageBoxA', 'PostMessageA', 'PostQuitMessage', 'RegisterClassA',
                   'RegisterClassExA', 'SendMessageA', 'SetDlgItemInt', 'SetDlgItemTextA', 'SetFocus',
                   'SetForegroundWindow', 'SetTimer', 'SetWindowPos', 'SetWindowTextA', 'ShowWindow',
                   'TranslateMessage', 'UpdateWindow', 'wsprintfA'},
}

ASM_V3 = 'urn:schemas-microsoft-com:asm.v3'

# The 80386's instructions as objdump's Intel syntax names them (Intel, 80386 Programmer's Reference
# Manual, 1986, chapter 17): Windows 95 runs on a 386DX, which need not have a 387, and Kelvor does
# no floating point, so no x87 either. What later processors added is not here: 486 BSWAP, CMPXCHG,
# XADD; Pentium CPUID, RDTSC, CMPXCHG8B, MMX; Pentium Pro CMOV, FCMOV, FCOMI, the multi-byte NOP; SSE.
I386 = set("""aaa aad aam aas adc add and arpl bound bsf bsr bt btc btr bts call cbw cwde clc cld cli clts cmc
    cmp cmps cmpsb cmpsw cmpsd cwd cdq daa das dec div enter hlt idiv imul in inc ins insb insw insd int int3
    into iret iretd ja jae jb jbe jcxz jecxz je jg jge jl jle jmp jne jno jnp jns jo jp js lahf lar lds lea
    leave les lfs lgdt lgs lidt lldt lmsw lods lodsb lodsw lodsd loop loope loopne lsl lss ltr mov movs movsb
    movsw movsd movsx movzx mul neg nop not or out outs outsb outsw outsd pop popa popad popf popfd push
    pusha pushad pushf pushfd rcl rcr ret retf rol ror sahf sal sar sbb scas scasb scasw scasd seta setae
    setb setbe sete setg setge setl setle setne setno setnp setns seto setp sets sgdt shl shld shr shrd sidt
    sldt smsw stc std sti stos stosb stosw stosd str sub test verr verw wait fwait xchg xlat xlatb xor""".split())
PREFIXES = {'lock', 'rep', 'repz', 'repe', 'repnz', 'repne', 'data16', 'addr16', 'cs', 'ds', 'es', 'fs', 'gs', 'ss'}


def foreign_instructions(code, address):
    """The instructions of `code` (machine code at `address`) that a 386 lacks, as 'address: text';
    bytes that decode to nothing count too."""
    with tempfile.NamedTemporaryFile(suffix='.bin') as f:
        f.write(code)
        f.flush()
        listing = subprocess.run(['i686-w64-mingw32-objdump', '-D', '-b', 'binary', '-m', 'i386', '-M', 'intel',
                                  '--no-show-raw-insn', '--adjust-vma=%#x' % address, f.name],
                                 capture_output=True, text=True, check=True).stdout
    foreign = []
    for where, text in re.findall(r'^\s*([0-9a-f]+):\t(.*)$', listing, re.M):
        words = text.split()
        while words[1:] and words[0] in PREFIXES:
            words.pop(0)
        if words[0] not in I386 or (words[0] == 'nop' and len(words) > 1):
            foreign.append('%s: %s' % (where, ' '.join(words)))
    return foreign


def machine_code(pe):
    """(address, bytes) of the executable's code, less the constructor and destructor lists that
    MinGW's linker script puts at the end of .text (each -1, pointers, 0: data, not code). They are
    found from the end, word by word: a -1 inside the code is no list head."""
    (rva, data), = [(s.VirtualAddress, s.get_data(ignore_padding=True)) for s in pe.sections
                    if s.IMAGE_SCN_MEM_EXECUTE]
    end = len(data)
    for _ in range(2):
        assert end % 4 == 0 and data[end - 4:end] == bytes(4), 'no list at the end of .text: has the linker script changed?'
        end -= 4
        while end >= 4 and data[end - 4:end] != b'\xff' * 4:
            end -= 4
        end -= 4
    assert end >= 0, 'no list head at the end of .text'
    return pe.OPTIONAL_HEADER.ImageBase + rva, data[:end]


def manifest_faults(data):
    """What in an application manifest would hurt Kelvor somewhere from XP to 11 (empty: nothing).
    Windows 95, 98, ME, NT 4 and 2000 do not read manifests."""
    faults = []
    if data.startswith(b'\xef\xbb\xbf') or not data.startswith(b'<?xml version="1.0" encoding="UTF-8"'):
        faults.append('not plain UTF-8 with its declaration first')
    text = data.decode('utf-8')
    for tag in re.findall(r'<[^>]*>', text):  # XP SP2 and Server 2003 RTM restart (KB 921337)
        declared = re.findall(r'xmlns(?::\w+)?="([^"]*)"', tag)
        faults += ['namespace declared twice: ' + u for u in sorted(set(declared)) if declared.count(u) > 1]
    if '<!--' in text:
        faults.append('comments')
    root = ET.fromstring(text)
    levels = root.findall('{%s}trustInfo/{%s}security/{%s}requestedPrivileges/{%s}requestedExecutionLevel'
                          % ((ASM_V3,) * 4))
    if [(e.get('level'), e.get('uiAccess')) for e in levels] != [('asInvoker', 'false')]:
        faults.append('not exactly one asInvoker, uiAccess false in an asm.v3 trustInfo')
    if any(e.tag.endswith('}trustInfo') and e.tag != '{%s}trustInfo' % ASM_V3 for e in root.iter()):
        faults.append('a trustInfo outside asm.v3')  # XP: "the application configuration is incorrect"
    if [e.text for e in root.iter('{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware')] != ['true']:
        faults.append('not DPI aware')
    faults += ['a dependency (Common Controls 6?)' for e in root.iter() if e.tag.endswith('}dependency')]
    return faults


def resources(pe):
    """{(type, name, language): bytes} of every resource (a name given as text stays text)."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)
    return {(key(t), key(n), key(lang)): pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            for t in pe.DIRECTORY_ENTRY_RESOURCE.entries for n in t.directory.entries for lang in n.directory.entries}


def _sz_or_ord(data, o):
    if struct.unpack_from('<H', data, o)[0] == 0xFFFF:
        return struct.unpack_from('<H', data, o + 2)[0], o + 4
    end = o
    while struct.unpack_from('<H', data, end)[0]:
        end += 2
    return data[o:end].decode('utf-16-le'), end + 2


def dialog(data):
    """A DLGTEMPLATE (which pefile does not read) as a dict with its controls in template order."""
    style, exstyle, count, x, y, cx, cy = struct.unpack_from('<IIHhhhh', data, 0)
    menu, o = _sz_or_ord(data, 18)
    cls, o = _sz_or_ord(data, o)
    title, o = _sz_or_ord(data, o)
    d = dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), menu=menu, cls=cls, title=title, items=[])
    if style & 0x40:  # DS_SETFONT
        d['points'] = struct.unpack_from('<H', data, o)[0]
        d['font'], o = _sz_or_ord(data, o + 2)
    for _ in range(count):
        o = (o + 3) & ~3
        istyle, iexstyle, ix, iy, icx, icy, iid = struct.unpack_from('<IIhhhhH', data, o)
        icls, o = _sz_or_ord(data, o + 18)
        text, o = _sz_or_ord(data, o)
        o += 2 + struct.unpack_from('<H', data, o)[0]  # the creation data
        d['items'].append(dict(id=iid if iid != 0xFFFF else -1, cls=icls, text=text, style=istyle,
                               exstyle=iexstyle, rect=(ix, iy, icx, icy)))
    return d


def group_icon(data):
    """[(width, height, colours, bit count, icon id)] of an RT_GROUP_ICON entry (pefile does not read it)."""
    count = struct.unpack_from('<H', data, 4)[0]
    return [(w or 256, h or 256, colours, bits, icon_id) for w, h, colours, _, _, bits, _, icon_id in
            (struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i) for i in range(count))]


class Binary(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        assert os.path.exists(EXE), 'KELVOR_EXE not built: %r' % EXE
        cls.pe = pefile.PE(EXE)
        cls.res = resources(cls.pe)
        cls.opt = cls.pe.OPTIONAL_HEADER
        cls.i686 = cls.pe.FILE_HEADER.Machine == 0x14C

    def test_pefile_reads_every_structure(self):
        # pefile reads on past what it cannot parse, with a warning; of those only the one on a file
        # that is mostly zero bytes (the 64-bit one is) is no fault.
        self.assertEqual([w for w in self.pe.get_warnings() if not w.startswith('Byte 0x00 makes up')], [])

    def test_pe_kind_and_gui_subsystem(self):
        if self.i686:
            self.assertEqual(self.opt.Magic, 0x10B, 'not PE32')
        else:
            self.assertEqual((self.pe.FILE_HEADER.Machine, self.opt.Magic), (0x8664, 0x20B))
        self.assertEqual(self.opt.Subsystem, 2, 'not the Windows GUI subsystem')

    def test_imports_exist_on_windows_95_and_nt_4_and_never_write_the_registry(self):
        imports = {}
        for d in self.pe.DIRECTORY_ENTRY_IMPORT:  # pefile passes over a name it finds malformed: none missing
            table = self.pe.get_import_table(d.struct.OriginalFirstThunk or d.struct.FirstThunk)
            self.assertEqual(len(d.imports), len(table), d.dll)
            imports[d.dll.decode().lower()] = {i.name.decode() if i.name else '#%d' % i.ordinal for i in d.imports}
        self.assertEqual(sorted(imports), sorted(OLD_WINDOWS_IMPORTS))
        for dll, names in imports.items():
            self.assertLessEqual(names, OLD_WINDOWS_IMPORTS[dll], dll)
        # The registry only read; 8-bit text interfaces only.
        self.assertEqual(imports['advapi32.dll'], OLD_WINDOWS_IMPORTS['advapi32.dll'])
        self.assertEqual([n for names in imports.values() for n in names if n.endswith('W')], [])
        if self.i686:  # what Windows 95 and NT 4 load: OS and subsystem version 4.0
            self.assertEqual((self.opt.MajorOperatingSystemVersion, self.opt.MinorOperatingSystemVersion,
                              self.opt.MajorSubsystemVersion, self.opt.MinorSubsystemVersion), (4, 0, 4, 0))

    def test_i686_code_runs_on_a_386(self):
        if not self.i686:
            self.skipTest('every x86-64 processor has what the compiler uses')
        address, code = machine_code(self.pe)
        self.assertEqual(foreign_instructions(code, address), [])
        # The check finds each later family, put in a copy at the entry point.
        at = self.opt.ImageBase + self.opt.AddressOfEntryPoint - address
        for text, patch in {'cmove eax,eax': '0f44c0', 'nop DWORD PTR [eax]': '0f1f00', 'bswap eax': '0fc8',
                            'xadd eax,eax': '0fc1c0', 'cpuid': '0fa2', 'fcomi st,st(1)': 'dbf1',
                            'movd mm0,eax': '0f6ec0', 'xorps xmm0,xmm0': '0f57c0', 'fld1': 'd9e8'}.items():
            copy = code[:at] + bytes.fromhex(patch) + code[at + len(patch) // 2:]
            self.assertIn('%x: %s' % (address + at, text), foreign_instructions(copy, address))

    def test_manifest_runs_as_invoker_in_a_form_every_windows_accepts(self):
        manifests = [(name, lang, data) for (rtype, name, lang), data in self.res.items() if rtype == RT['RT_MANIFEST']]
        self.assertEqual([m[:2] for m in manifests], [(1, 1033)])
        data = manifests[0][2]
        self.assertEqual(manifest_faults(data), [])
        # The check itself finds the faults that matter, each in a copy of the real manifest.
        trust = b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">'
        broken = {
            'doubled namespace': data.replace(trust, b'<v3:trustInfo xmlns:v3="urn:schemas-microsoft-com:asm.v3" '
                                              b'xmlns="urn:schemas-microsoft-com:asm.v3">').replace(
                                 b'</trustInfo>', b'</v3:trustInfo>'),
            'requireAdministrator': data.replace(b'asInvoker', b'requireAdministrator'),
            'trustInfo without a namespace': data.replace(trust, b'<trustInfo>'),
            'Common Controls 6': data.replace(b'</assembly>', b'<dependency><dependentAssembly><assemblyIdentity '
                                              b'name="Microsoft.Windows.Common-Controls"/></dependentAssembly>'
                                              b'</dependency></assembly>'),
            'byte-order mark': b'\xef\xbb\xbf' + data,
        }
        for fault, copy in broken.items():
            self.assertNotEqual(copy, data, fault)
            self.assertNotEqual(manifest_faults(copy), [], fault)

    def test_string_table(self):
        blocks = [n.directory for t in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == RT['RT_STRING']
                  for n in t.directory.entries]
        self.assertEqual({i: text for b in blocks for i, text in b.strings.items()}, STRINGS)
        self.assertEqual({lang.id for b in blocks for lang in b.entries}, {1033})

    def test_countdown_dialog_template(self):
        dialogs = {name: data for (rtype, name, _), data in self.res.items() if rtype == RT['RT_DIALOG']}
        self.assertEqual(list(dialogs), [105])
        d = dialog(dialogs[105])
        self.assertEqual((d['style'], d['exstyle']), (0x80C000C0, 0))
        self.assertEqual(d['rect'][2:], (146, 92))
        self.assertEqual((d['points'], d['font']), (14, 'Arial'))
        self.assertEqual((d['menu'], d['cls']), ('', ''))
        got = [(i['id'], i['cls'], i['style'], *i['rect'], i['text']) for i in d['items']]
        self.assertEqual(got, CONTROLS)
        self.assertEqual({i['exstyle'] for i in d['items']}, {0})

    def test_icons_have_32_and_16_pixel_images_in_16_colours(self):
        groups = {name: data for (rtype, name, _), data in self.res.items() if rtype == RT['RT_GROUP_ICON']}
        self.assertEqual(sorted(groups), [101, 102])
        icons = {name: data for (rtype, name, _), data in self.res.items() if rtype == RT['RT_ICON']}
        for name, data in groups.items():
            entries = group_icon(data)
            self.assertEqual(sorted((w, h, c, b) for w, h, c, b, _ in entries),
                             [(16, 16, 16, 4), (32, 32, 16, 4)], name)
            for w, _, _, _, icon_id in entries:
                size, width, height, _, bits = struct.unpack_from('<IiiHH', icons[icon_id])
                self.assertEqual((size, width, height, bits), (40, w, 2 * w, 4), name)

    def test_version_block(self):
        self.assertEqual(len([rtype for rtype, _, _ in self.res if rtype == RT['RT_VERSION']]), 1)
        (info,), (fixed,), (file_info,) = self.pe.VS_VERSIONINFO, self.pe.VS_FIXEDFILEINFO, self.pe.FileInfo
        self.assertEqual((info.ValueLength, fixed.Signature), (52, 0xFEEF04BD))  # 52: a whole VS_FIXEDFILEINFO
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (0x00010002, 0x00010008, 0x00010002, 0x00010008))
        tables = [t for f in file_info if f.Key == b'StringFileInfo' for t in f.StringTable]
        self.assertEqual([t.LangID for t in tables], [b'040904e4'])
        block = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
        for key, value in VERSION_STRINGS.items():
            self.assertEqual(block.get(key), value, key)
        self.assertTrue(block.get('FileDescription'))
        with open(os.path.join(os.path.dirname(__file__), '..', '..', 'LICENSE')) as f:
            holder = next(line for line in f if line.startswith('Copyright (c) '))[len('Copyright (c) '):].strip()
        self.assertEqual(block.get('LegalCopyright'), 'Copyright (C) %s. MIT License.' % holder)
        # One translation, 0409 1252: pefile keeps a Var's last pair and reads a VarFileInfo's first Var only.
        (var_info,) = [f for f in file_info if f.Key == b'VarFileInfo']
        (var,) = var_info.Var
        self.assertEqual((var.entry, var.ValueLength, var.get_file_offset() + var.Length),
                         ({b'Translation': '0x0409 0x04e4'}, 4, var_info.get_file_offset() + var_info.Length))


if __name__ == '__main__':
    unittest.main()
