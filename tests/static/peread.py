"""Reads what the static checks need from a PE file: headers, imported DLLs and resources."""
import struct

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24


class PE:
    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        d = self.data
        assert d[:2] == b'MZ', 'no MZ header'
        pe = struct.unpack_from('<I', d, 0x3C)[0]
        assert d[pe:pe + 4] == b'PE\0\0', 'no PE signature'
        self.machine, nsect, self.timestamp, _, _, opt_size, self.characteristics = \
            struct.unpack_from('<HHIIIHH', d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from('<H', d, opt)[0]
        self.subsystem = struct.unpack_from('<H', d, opt + 68)[0]
        self.entry = struct.unpack_from('<I', d, opt + 16)[0]
        self.image_base = struct.unpack_from('<I' if self.magic == 0x10B else '<Q', d, opt + (28 if self.magic == 0x10B else 24))[0]
        os_major, os_minor, _, _, sub_major, sub_minor = struct.unpack_from('<6H', d, opt + 40)
        self.os_version, self.subsystem_version = (os_major, os_minor), (sub_major, sub_minor)
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from('<II', d, dirs + 8 * i) for i in range(16)]
        self.sections, self.code = [], []
        for i in range(nsect):
            s = opt + opt_size + 40 * i
            name = d[s:s + 8].rstrip(b'\0').decode()
            vsize, va, rawsize, raw = struct.unpack_from('<IIII', d, s + 8)
            self.sections.append((name, va, max(vsize, rawsize), raw))
            if struct.unpack_from('<I', d, s + 36)[0] & 0x20000000:  # IMAGE_SCN_MEM_EXECUTE
                self.code.append((va, d[raw:raw + min(vsize, rawsize)]))

    def checksums(self):
        """(stored, computed) PE checksum: 16-bit sums with end-around carry over the file with
        the checksum field taken as 0, plus the file's length (what Windows checks for drivers
        and what signing tools set)."""
        field = struct.unpack_from('<I', self.data, 0x3C)[0] + 24 + 64
        data = self.data[:field] + b'\0\0\0\0' + self.data[field + 4:]
        data += b'\0' * (len(data) % 2)
        total = 0
        for (word,) in struct.iter_unpack('<H', data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return struct.unpack_from('<I', self.data, field)[0], (total & 0xFFFF) + len(self.data)

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError('rva %x outside every section' % rva)

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b'\0', o)].decode('latin-1')

    def imports(self):
        """{dll name: [imported function names]} (ordinal-only imports as '#N')."""
        rva, _ = self.directories[1]
        wide = self.magic == 0x20B
        out, o = {}, self.offset(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from('<IIIII', self.data, o)
            if not (lookup or name or thunk):
                return out
            names, t = [], self.offset(lookup or thunk)
            while True:
                entry = struct.unpack_from('<Q' if wide else '<I', self.data, t)[0]
                if not entry:
                    break
                if entry >> (63 if wide else 31):
                    names.append('#%d' % (entry & 0xFFFF))
                else:
                    names.append(self.cstring((entry & 0x7FFFFFFF) + 2))
                t += 8 if wide else 4
            out[self.cstring(name)] = names
            o += 20

    def resources(self):
        """{(type, name, language): bytes} for every resource, names and types as numbers."""
        base_rva, _ = self.directories[2]
        base = self.offset(base_rva)
        out = {}

        def walk(o, path):
            named, ids = struct.unpack_from('<HH', self.data, o + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from('<II', self.data, o + 16 + 8 * i)
                key = key if not key & 0x80000000 else self._name(base + (key & 0x7FFFFFFF))
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (key,))
                else:
                    rva, size = struct.unpack_from('<II', self.data, base + target)
                    out[path + (key,)] = self.data[self.offset(rva):self.offset(rva) + size]

        walk(base, ())
        return out

    def _name(self, o):
        n = struct.unpack_from('<H', self.data, o)[0]
        return self.data[o + 2:o + 2 + 2 * n].decode('utf-16-le')


def string_table(resources):
    """{id: (text, language)} from the RT_STRING blocks."""
    table = {}
    for (rtype, block, lang), data in resources.items():
        if rtype != RT_STRING:
            continue
        o = 0
        for i in range(16):
            n = struct.unpack_from('<H', data, o)[0]
            if n:
                table[(block - 1) * 16 + i] = (data[o + 2:o + 2 + 2 * n].decode('utf-16-le'), lang)
            o += 2 + 2 * n
    return table


def _sz_or_ord(data, o):
    if struct.unpack_from('<H', data, o)[0] == 0xFFFF:
        return struct.unpack_from('<H', data, o + 2)[0], o + 4
    end = o
    while struct.unpack_from('<H', data, end)[0]:
        end += 2
    return data[o:end].decode('utf-16-le'), end + 2


def dialog(data):
    """A DLGTEMPLATE as a dict with its controls in template order."""
    style, exstyle, count, x, y, cx, cy = struct.unpack_from('<IIHhhhh', data, 0)
    o = 18
    menu, o = _sz_or_ord(data, o)
    cls, o = _sz_or_ord(data, o)
    title, o = _sz_or_ord(data, o)
    d = dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), menu=menu, cls=cls, title=title, items=[])
    if style & 0x40:  # DS_SETFONT
        d['points'] = struct.unpack_from('<H', data, o)[0]
        d['font'], o = _sz_or_ord(data, o + 2)
    for _ in range(count):
        o = (o + 3) & ~3
        istyle, iexstyle, ix, iy, icx, icy, iid = struct.unpack_from('<IIhhhhH', data, o)
        o += 18
        icls, o = _sz_or_ord(data, o)
        text, o = _sz_or_ord(data, o)
        extra = struct.unpack_from('<H', data, o)[0]
        o += 2 + extra
        d['items'].append(dict(id=iid if iid != 0xFFFF else -1, cls=icls, text=text, style=istyle,
                               exstyle=iexstyle, rect=(ix, iy, icx, icy)))
    return d


def version_info(data):
    """(fixed file info as a tuple of ints, {block: {key: value}}, translations)."""
    def node(o):
        length, vlen, vtype = struct.unpack_from('<HHH', data, o)
        key, p = _sz_or_ord(data, o + 6)
        p = (p + 3) & ~3
        value_size = vlen * 2 if vtype == 1 else vlen
        value = data[p:p + value_size]
        p = (p + value_size + 3) & ~3
        children = []
        while p < o + length:
            child, p = node(p)
            children.append(child)
        return (key, vtype, value, children), (o + length + 3) & ~3

    (key, _, fixed, children), _ = node(0)
    assert key == 'VS_VERSION_INFO'
    fixed_info = struct.unpack_from('<13I', fixed)
    strings, translations = {}, []
    for ckey, _, _, grand in children:
        if ckey == 'StringFileInfo':
            for block, _, _, entries in grand:
                strings[block] = {k: v.decode('utf-16-le').rstrip('\0') for k, _, v, _ in entries}
        elif ckey == 'VarFileInfo':
            for _, _, value, _ in grand:
                translations += [struct.unpack_from('<HH', value, i) for i in range(0, len(value), 4)]
    return fixed_info, strings, translations


def group_icon(data):
    """[(width, height, colours, bit count, icon id)] of an RT_GROUP_ICON entry."""
    _, _, count = struct.unpack_from('<HHH', data, 0)
    out = []
    for i in range(count):
        w, h, colours, _, _, bits, _, icon_id = struct.unpack_from('<BBBBHHIH', data, 6 + 14 * i)
        out.append((w or 256, h or 256, colours, bits, icon_id))
    return out
