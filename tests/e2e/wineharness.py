"""Runs the real Kelvor.exe under Wine on Xvfb and observes it from outside.

One Wine prefix (win64) and one Xvfb display per test run, kept in KELVOR_E2E_DIR and reused by
every case; cases run one at a time because Kelvor instances in one prefix replace each other. What
a case sees comes from the real process: its relay trace (the calls it made), its debugger output,
its exit code, and its windows as the probe program (x86_64 probe.exe, in the same session)
reports them. KELVOR_ARCH chooses the executable under test: x86_64, or the shipping i686 one,
which Wine's 32-bit loader runs (through qemu-user where the kernel cannot run 32-bit code) and
which reads the 32-bit registry view, as on 64-bit Windows.
"""
import contextlib
import fcntl
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
import warnings

import pefile

WINE = '/usr/lib/wine/wine64'
WINE32 = '/usr/lib/wine/wine'  # the 32-bit loader: no 64-bit start.exe between us and a 32-bit exe
WINESERVER = '/usr/lib/wine/wineserver'
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from sources import ACTION, COUNT, HAND_OVER_BOUND, HINT, KEY_PATH, MESSAGE, SECONDS, STRINGS  # noqa: E402,F401
BUILD = os.path.join(HERE, '..', '..', 'build')
STATE = os.environ.get('KELVOR_E2E_DIR') or os.path.join(BUILD, 'e2e')
ARCH = os.environ.get('KELVOR_ARCH') or 'x86_64'
KELVOR = os.environ.get('KELVOR_EXE') or os.path.join(BUILD, ARCH, 'Kelvor.exe')
PROBE = os.environ.get('KELVOR_PROBE') or os.path.join(BUILD, 'x86_64', 'probe.exe')
VIEW = '/reg:32' if ARCH == 'i686' else '/reg:64'  # the registry view Kelvor.exe reads
OTHER_VIEW = '/reg:64' if ARCH == 'i686' else '/reg:32'
KEY = 'HKLM\\' + KEY_PATH
PRODUCT_KEY = KEY.rsplit('\\', 1)[0]
KELVOR_VALUES = ('ShutDown.VLX', 'ForceMode', 'QuietMode', 'ShutCount')
# Settings of the product around Kelvor, which nothing of Kelvor's may touch: on the product's
# key, on a sibling of Parameters, and in Parameters itself.
OTHER_SETTINGS = [(PRODUCT_KEY, 'InstallDir', 'REG_SZ', r'C:\Orvane'),
                  (PRODUCT_KEY + r'\Agent', 'Port', 'REG_DWORD', '7777'),
                  (KEY, 'ListenPort', 'REG_DWORD', '5150'),
                  (KEY, 'Owner', 'REG_SZ', 'Operations')]

# Faults of qemu-user's emulation of 32-bit code, as they show in a trace. The first comes after
# the process called ExitProcess (qemu leaves the trap number at -1 in signal frames); the second
# is Wine's 32-bit wineboot failing to start under emulation, which fails the exit call (unlike a
# wineboot.exe that a case moved away, it cannot map the shared user data first).
EXIT_FAULTS = ('Got unexpected trap -1', 'qemu: uncaught target signal')
LOST_WINEBOOT = re.compile(r'failed to map the shared user data.*?'
                           r'Failed to run L"C:\\+windows\\+system32\\+wineboot\.exe', re.I | re.S)

# The calls a case can see in a Kelvor process's relay trace.
RELAY = ('user32.ExitWindowsEx;user32.GetSystemMenu;user32.DeleteMenu;user32.MessageBoxA;'
         'user32.CreateWindowExA;user32.DialogBoxParamA;kernel32.Sleep;kernelbase.Sleep;'
         'advapi32.OpenProcessToken;advapi32.AdjustTokenPrivileges;advapi32.RegOpenKeyExA;'
         'advapi32.RegQueryValueExA;kernel32.ExitProcess;user32.PostMessageA')
DEFAULT_SCREEN = (1024, 768)
# Made-once prefixes that every prefix of a run is cloned from (see make_prefix).
TEMPLATES = os.environ.get('KELVOR_WINE_TEMPLATES') or os.path.join(BUILD, 'wine')
# Wine's own programs and libraries in a prefix: byte copies of Wine's builtins, only ever read
# (a case that hides wineboot.exe renames it), so every prefix holds them as hard links to one
# copy. Everything else (the registry, .ini files) is each prefix's own.
SHARED = ('.dll', '.exe', '.drv', '.sys', '.ocx', '.cpl', '.acm', '.ax', '.tlb', '.ds', '.com', '.tsp', '.nls',
          '.msstyles', '.mui', '.vxd')

# Xvfb and the session's helper outlive the Popen objects that started them, by design.
warnings.simplefilter('ignore', ResourceWarning)


def _pid_alive(pid):
    """True while the process runs; a zombie (a dead child not yet reaped) counts as gone."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rsplit(')', 1)[1].split()[0] != 'Z'
    except (OSError, IndexError, TypeError):
        return False


def pe_header(exe):
    """(is 32-bit, image base, image size) of a PE executable."""
    with pefile.PE(exe, fast_load=True) as pe:
        return pe.FILE_HEADER.Machine == 0x14C, pe.OPTIONAL_HEADER.ImageBase, pe.OPTIONAL_HEADER.SizeOfImage


def emulated():
    """True when 32-bit programs run through qemu-user (the kernel cannot run them itself)."""
    return ARCH == 'i686' and _read('/proc/sys/fs/binfmt_misc/qemu-i386', '').startswith('enabled')


def _digest(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


@contextlib.contextmanager
def _templates_locked():
    """Runs that make the templates or read their shared store take turns."""
    os.makedirs(TEMPLATES, exist_ok=True)
    with open(os.path.join(TEMPLATES, 'lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _share(template, store):
    """Replaces each of Wine's own files in the template by a hard link to one copy per content."""
    os.makedirs(store, exist_ok=True)
    for folder, _, names in os.walk(os.path.join(template, 'drive_c', 'windows')):
        for name in names:
            path = os.path.join(folder, name)
            if not name.lower().endswith(SHARED) or os.path.islink(path) or not os.path.isfile(path):
                continue
            shared = os.path.join(store, _digest(path))
            if not os.path.exists(shared):
                os.link(path, shared)
            elif not os.path.samefile(shared, path):
                os.link(shared, path + '.shared')
                os.replace(path + '.shared', path)


def _clone(template, prefix):
    """A prefix like the template: Wine's own files hard-linked, the rest copied."""
    for folder, dirs, names in os.walk(template):
        target = os.path.join(prefix, os.path.relpath(folder, template))
        os.makedirs(target, exist_ok=True)
        for name in dirs + names:
            path, copy = os.path.join(folder, name), os.path.join(target, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), copy)
            elif name in names and name != 'wineserver':
                (os.link if name.lower().endswith(SHARED) else shutil.copy2)(path, copy)


def altered_shared_files():
    """Files of the shared store whose content no longer has the digest they are named by: a case
    that wrote one of Wine's files in place would have changed it in every prefix at once."""
    store = os.path.join(TEMPLATES, 'store')
    with _templates_locked():
        os.makedirs(store, exist_ok=True)
        return [n for n in os.listdir(store) if _digest(os.path.join(store, n)) != n]


def make_prefix(prefix, winearch='win64', setup=None, setup_key=''):
    """A fresh Wine prefix at `prefix`, cloned in a second from a template made once per Wine
    version (wineboot -i, then setup(env), e.g. the relay settings) under build/wine. Making a
    template is Wine's own work, which under emulation once stopped half-way (exit 53, the registry
    a fiftieth of its size): it gets a second try from scratch, with what the first said on record.
    Two runs that need a template at once take turns; a template is made anew when Wine's version
    or `setup_key` (what setup writes) changes."""
    loader = WINE if winearch == 'win64' else WINE32
    template = os.path.join(TEMPLATES, winearch)
    stamp = subprocess.run([loader, '--version'], capture_output=True, text=True).stdout.strip() + setup_key + '\n'
    with _templates_locked():
        if _read(os.path.join(template, 'made'), '') + '\n' != stamp:
            env = dict(os.environ, WINEPREFIX=template, WINEARCH=winearch, WINEDEBUG='err+all', DISPLAY='',
                       WINEDLLOVERRIDES='mscoree,mshtml=')
            for attempt in range(2):
                shutil.rmtree(template, ignore_errors=True)
                made = subprocess.run([loader, 'wineboot', '-i'], env=env, capture_output=True, text=True,
                                      errors='replace', timeout=600)
                if made.returncode == 0 and os.path.exists(os.path.join(template, 'system.reg')):
                    break
                print('making %s failed (exit %d): %s' % (template, made.returncode, made.stderr[-2000:]))
                subprocess.run([WINESERVER, '-k'], env=env, capture_output=True, timeout=60)
            else:
                raise RuntimeError('Wine could not make a %s prefix' % winearch)
            if setup:
                setup(env)
            subprocess.run([WINESERVER, '-w'], env=env, capture_output=True, timeout=120)
            _share(template, os.path.join(TEMPLATES, 'store'))
            with open(os.path.join(template, 'made'), 'w') as f:
                f.write(stamp)
    shutil.rmtree(prefix, ignore_errors=True)
    _clone(template, prefix)
    os.remove(os.path.join(prefix, 'made'))


def _read(path, default=None):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


class Session:
    """The shared Xvfb display, Wine prefix and a long-lived helper that keeps the session up."""

    lines = 0  # exact command lines written for the probe
    def __init__(self):
        self.state = os.path.abspath(STATE)
        self.prefix = os.path.join(self.state, 'prefix')
        os.makedirs(self.state, exist_ok=True)

    # --- environment -------------------------------------------------------------------------
    def display(self):
        return _read(os.path.join(self.state, 'display'))

    def env(self, debug='-all'):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.prefix, DISPLAY=self.display() or '', WINEDEBUG=debug,
                   WINEDLLOVERRIDES='mscoree,mshtml=', WINEARCH='win64')
        return env

    def wine(self, *args, timeout=60, debug='-all', check=True):
        r = subprocess.run([WINE, *args], env=self.env(debug), capture_output=True, text=True,
                           errors='replace', timeout=timeout)
        if check and r.returncode != 0:
            raise RuntimeError(f'wine {args}: exit {r.returncode}: {r.stderr[-2000:]}')
        return r

    def reg(self, *args, check=True):
        return self.registry_tool('reg', *args, check=check)

    def kelvor_reg(self, *args, view=VIEW, check=True):
        """reg on the registry view that the Kelvor.exe under test reads (or on `view`)."""
        return self.reg(*args, view, check=check)

    def write_values(self, values, view=VIEW):
        """values: [(key, name, type, data)], all imported at once from a .reg file with the regedit
        of the view. type: 'REG_SZ' (data a text), 'REG_DWORD' (a number) or any type number (data
        the raw bytes, of any size); data None deletes the value."""
        lines, key = ['REGEDIT4'], None
        for k, name, rtype, data in values:
            if k != key:
                lines += ['', '[%s]' % k.replace('HKLM', 'HKEY_LOCAL_MACHINE', 1)]
                key = k
            if data is None:
                lines.append('"%s"=-' % name)
                continue
            if rtype == 'REG_SZ':
                rtype, data = 1, data.encode('latin-1') + b'\0'
            elif rtype == 'REG_DWORD':
                rtype, data = 4, (int(str(data), 0) & 0xFFFFFFFF).to_bytes(4, 'little')
            lines.append('"%s"=hex(%x):%s' % (name, rtype, ','.join('%02x' % b for b in data)))
        Session.lines += 1
        path = os.path.join(self.state, 'values-%d-%d.reg' % (os.getpid(), Session.lines))
        with open(path, 'w', newline='\r\n') as f:
            f.write('\n'.join(lines) + '\n')
        self.import_reg(path, view)

    def snapshot(self, view=VIEW):
        """Every key and value under the product's key as `reg query /s` lists them:
        {(key, None): None} for a key, {(key, value name): (type, data)} for a value."""
        out, key = {}, None
        for line in self.kelvor_reg('query', PRODUCT_KEY, '/s', view=view, check=False).stdout.splitlines():
            if line.startswith('HKEY_'):
                key = line.strip()
                out[(key, None)] = None
            elif line.startswith('    ') and key:
                name, rtype, data = (line.strip().split('    ') + ['', ''])[:3]
                out[(key, name)] = (rtype, data)
        return out

    def import_reg(self, path, view=VIEW):
        """Imports a .reg file as an administrator would, with the regedit of the given view:
        on 64-bit Windows the 32-bit one (syswow64) writes the 32-bit view."""
        regedit = r'C:\windows\syswow64\regedit.exe' if view == '/reg:32' else 'regedit'
        return self.registry_tool(regedit, '/S', windows_path(path))

    @contextlib.contextmanager
    def without_wineboot(self):
        """Wine's ExitWindowsEx starts wineboot.exe (the 64-bit one, or under WoW64 the 32-bit
        one in syswow64); without it the call fails and the session stays up."""
        moved = []
        try:
            for folder in ('system32', 'syswow64'):
                path = os.path.join(self.prefix, 'drive_c', 'windows', folder, 'wineboot.exe')
                if os.path.exists(path):
                    hidden = os.path.join(self.state, folder + '-wineboot.exe')
                    shutil.move(path, hidden)
                    moved.append((hidden, path))
            yield
        finally:
            for hidden, path in moved:
                shutil.move(hidden, path)

    def registry_tool(self, *args, check=True):
        """reg or regedit: idempotent, so a failure right after a session restart (seen once in
        a while under Wine) is retried in a live session before it counts."""
        for attempt in range(3):
            r = self.wine(*args, check=False, timeout=120)
            if r.returncode == 0 or not check:
                return r
            time.sleep(1)
            self.start_helper()
        raise RuntimeError('wine %s: exit %d: %s' % (args, r.returncode, r.stderr[-2000:]))

    # --- set-up ------------------------------------------------------------------------------
    def start_display(self, size=DEFAULT_SCREEN):
        pid = _read(os.path.join(self.state, 'xvfb.pid'))
        if pid and _pid_alive(int(pid)) and _read(os.path.join(self.state, 'screen')) == '%dx%d' % size:
            return
        self.stop_display()
        # Xvfb picks a free display itself and says which, so that two runs side by side never
        # take the same one.
        read, write = os.pipe()
        with open(os.path.join(self.state, 'xvfb.log'), 'w') as log:
            p = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '%dx%dx24' % size, '-nolisten',
                                  'tcp'], stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
                                 pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as f:
            number = int(f.readline().strip() or -1)
        if number < 0:
            raise RuntimeError('Xvfb did not start: ' + (_read(os.path.join(self.state, 'xvfb.log')) or ''))
        self._write('xvfb.pid', p.pid)
        self._write('display', ':%d' % number)
        self._write('screen', '%dx%d' % size)

    def use_display(self, display):
        """Runs on an existing X display (the user's) instead of a private Xvfb."""
        self.stop_display()
        self._write('display', display)
        self._write('screen', 'external')

    def stop_display(self):
        self.stop_wine()
        pid = _read(os.path.join(self.state, 'xvfb.pid'))
        if pid and _pid_alive(int(pid)):
            os.kill(int(pid), signal.SIGTERM)
            for _ in range(50):
                if not _pid_alive(int(pid)):
                    break
                time.sleep(0.1)
        for name in ('xvfb.pid', 'display', 'screen'):
            try:
                os.remove(os.path.join(self.state, name))
            except OSError:
                pass

    def create_prefix(self):
        if os.path.exists(os.path.join(self.prefix, 'system.reg')):
            return

        def relay(env):  # the calls a case can see (see RELAY)
            subprocess.run([WINE, 'reg', 'add', r'HKCU\Software\Wine\Debug', '/v', 'RelayInclude', '/d', RELAY,
                            '/f'], env=env, capture_output=True, check=True, timeout=120)
        make_prefix(self.prefix, setup=relay, setup_key=' ' + RELAY)

    def start_helper(self):
        pid = _read(os.path.join(self.state, 'helper.pid'))
        if pid and _pid_alive(int(pid)):
            return
        out = os.path.join(self.state, 'helper.out')
        with open(out, 'w') as f:
            p = subprocess.Popen([WINE, PROBE, 'idle'], env=self.env(), stdin=subprocess.DEVNULL, stdout=f,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
        self._write('helper.pid', p.pid)
        deadline = time.time() + 90
        while time.time() < deadline and 'ready' not in (_read(out) or ''):
            time.sleep(0.1)
        if 'ready' not in (_read(out) or ''):
            raise RuntimeError('the Wine session did not come up')

    def ensure(self, size=DEFAULT_SCREEN):
        """Everything up: display of the given size, prefix, and the session's helper."""
        for exe in (KELVOR, PROBE):
            if not os.path.exists(exe):
                raise RuntimeError('not built: ' + exe)
        screen = _read(os.path.join(self.state, 'screen'))
        if screen != 'external':
            if screen not in (None, '%dx%d' % size):
                self.stop_display()
            self.start_display(size)
        self.create_prefix()
        self.start_helper()

    def stop_wine(self):
        subprocess.run([WINESERVER, '-k'], env=self.env(), capture_output=True, timeout=60)
        try:
            subprocess.run([WINESERVER, '-w'], env=self.env(), capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.remove(os.path.join(self.state, 'helper.pid'))
        except OSError:
            pass

    def settle(self, session_ending=False, wait=True):
        """After a case: no Kelvor left, and a live session for the next. A successful exit
        request ends the session (wineboot tears it down, asynchronously and partly): then the
        session is ended outright and started anew, so nothing of it reaches the next case.
        Without `wait`, what is left is ended at once."""
        deadline = time.time() + 30
        while wait and time.time() < deadline and self.kelvor_processes():
            time.sleep(0.2)
        helper = _read(os.path.join(self.state, 'helper.pid'))
        if session_ending or self.kelvor_processes() or not (helper and _pid_alive(int(helper))):
            self.stop_wine()
        self.start_helper()

    def kelvor_processes(self):
        """Kelvor processes in this session's prefix (another run's prefix may have its own)."""
        r = subprocess.run(['pgrep', '-f', 'Kelvor.exe'], capture_output=True, text=True)
        mine = []
        for pid in map(int, r.stdout.split()):
            try:
                with open('/proc/%d/environ' % pid, 'rb') as f:
                    if ('WINEPREFIX=' + self.prefix).encode() in f.read().split(b'\0'):
                        mine.append(pid)
            except OSError:
                pass  # ended meanwhile
        return mine

    def _write(self, name, value):
        with open(os.path.join(self.state, name), 'w') as f:
            f.write(str(value))

    # --- observation -------------------------------------------------------------------------
    def probe(self, *args, timeout=30):
        """Runs a probe command; returns (exit code, list of (key, rest) lines)."""
        started = time.time()
        r = self.wine(PROBE, *[str(a) for a in args], timeout=timeout, check=False)
        lines = [tuple(l.split(' ', 1)) if ' ' in l else (l, '') for l in r.stdout.splitlines()]
        # For a failure message: how the last probe ended.
        self.last_probe = 'probe %s: exit %d after %.1f s: %s' % (' '.join(map(str, args)), r.returncode,
                                                                time.time() - started, r.stderr[-600:])
        return r.returncode, lines

    def start_kelvor(self, *args, exe=None):
        return Kelvor(self, [exe or KELVOR, *args])

    def line_file(self, command_line):
        """A file holding exactly this command line, for the probe's `run`."""
        Session.lines += 1
        path = os.path.join(self.state, 'line-%d-%d.txt' % (os.getpid(), Session.lines))
        with open(path, 'wb') as f:
            f.write(command_line.encode('latin-1'))
        return windows_path(path)

    def start_exact(self, command_line, exe=None):
        """Kelvor started by the probe with exactly this command line (quotes, leading blanks).
        The probe passes its debug settings on, so the log holds Kelvor's trace as usual."""
        app = windows_path(exe or KELVOR)
        return Kelvor(self, [PROBE, 'run', app, self.line_file(command_line.format(exe=app)), '60000'])

    def run_windows(self, app, command_line, timeout=180):
        """Runs a Windows program to its end and returns its whole exit code, which the Unix
        status of its loader would cut to the low 8 bits (msiexec's 1603 would read as 67)."""
        rc, lines = self.probe('run', app, self.line_file(command_line), timeout * 1000, timeout=timeout + 30)
        codes = [int(rest) for key, rest in lines if key == 'exit']
        if rc != 0 or not codes:
            raise AssertionError('%s did not end in %d s: %s' % (command_line, timeout, lines))
        return codes[0]

    def xdotool(self, *args):
        """Real input through the X server, as a keyboard and a mouse make it (xdotool's key names:
        'Return', 'alt+F4'); Wine's dialog manager handles it as Windows' handles a keyboard's."""
        subprocess.run(['xdotool', *[str(a) for a in args]], env=self.env(), check=True, timeout=60)

    def windows(self):
        _, lines = self.probe('windows')
        d = dict(lines)
        return int(d.get('mains', -1)), int(d.get('dialogs', -1))


def _exit_call(trace, image=None):
    """Where the process ended, as (position, code), or None. Its own end is its last ExitProcess
    call (made from its own code, where the image is known: the trace also holds the wineboot that
    an exit request starts). The other is the end of the session it asked for itself: Wine's
    wineboot sends WM_QUERYENDSESSION and WM_ENDSESSION to its windows and then ends a process
    still there with TerminateProcess(..., 0), which a slow process meets before its own exit."""
    def own(address):
        return image is None or image[0] <= int(address, 16) < image[0] + image[1]
    ends = [(m.start(), int(m.group(1), 16)) for m in
            re.finditer(r'Call kernel32\.ExitProcess\(([0-9a-f]+)\) ret=([0-9a-f]+)', trace, re.I)
            if own(m.group(2))]
    ends += [(m.start(), 0) for m in
             re.finditer(r'Ret  window proc ([0-9a-f]+) \(hwnd=\w+,msg=WM_ENDSESSION,wp=0*1,', trace, re.I)
             if own(m.group(1))]
    return max(ends) if ends else None


def crashed(trace, image=None):
    """A crash of the process: an unhandled exception, a page fault in its own code (image: its
    base and size), or any fault at all before its end (see _exit_call)."""
    if 'Unhandled exception' in trace:
        return True
    for m in re.finditer(r'page fault.*? at address (?:0x)?([0-9a-fA-F]+)', trace):
        if image is None or image[0] <= int(m.group(1), 16) < image[0] + image[1]:
            return True
    ended = _exit_call(trace, image)
    before = trace[:ended[0]] if ended else trace
    return any(f in before for f in EXIT_FAULTS + ('page fault', 'Unhandled'))


def exit_code_from_trace(code, trace, image=None):
    """The exit code of a Windows process from its loader's Unix status and its trace. Two ends
    are not the process's doing, and both come after its end (see _exit_call): Wine's server kills
    (SIGKILL) a Unix process still there about half a second after its last thread ended, which a
    loaded machine sometimes is; and qemu-user faults in a few per cent of emulated exits (status
    1 or -11). The code is then the one passed to ExitProcess, or the session's 0. Any crash (see crashed) keeps the
    status as it is."""
    ended = _exit_call(trace, image)
    if code in (None, 0) or not ended or crashed(trace, image):
        return code
    after = trace[ended[0]:]
    if code == -signal.SIGKILL and 'L"ntdll.dll",reason=PROCESS_DETACH' in after:
        return ended[1]
    if code in (1, -signal.SIGSEGV) and any(f in after for f in EXIT_FAULTS):
        return ended[1]
    return code


class Imitation:
    """Another program's window with Kelvor's identity, which ignores the hand-over's posts (the
    probe's `imitate`): `window` is its handle, `messages()` what reached it, as (message, wParam)."""

    def __init__(self, session, seconds=180):
        self.log = os.path.join(session.state, 'imitation-%d.log' % os.getpid())
        with open(self.log, 'w') as f:
            self.proc = subprocess.Popen([WINE, PROBE, 'imitate', str(seconds * 1000)], env=session.env(),
                                         stdin=subprocess.DEVNULL, stdout=f, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while 'ready' not in _read(self.log, '') and self.proc.poll() is None and time.time() < deadline:
            time.sleep(0.1)
        found = re.search(r'^window (\w+)$', _read(self.log, ''), re.M)
        if not found:
            self.kill()
            raise AssertionError('the imitation did not start: ' + _read(self.log, ''))
        self.window = int(found.group(1), 16)

    def messages(self):
        return [tuple(int(v) for v in l.split()[1:]) for l in _read(self.log, '').splitlines()
                if l.startswith('message ')]

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


class EmulationLostWineboot(AssertionError):
    """Emulation could not start Wine's 32-bit wineboot: the case is run once more (see run_module)."""


class Kelvor:
    """One real Kelvor.exe process under Wine, its relay trace and debugger output in a log."""

    count = 0
    current_test = ''  # the case that starts the next instances
    logs = []          # (case, log) of every instance, for the runner's emulation check
    exit_faults = set()  # logs of instances whose emulation faulted after their end (the rule counted them)

    def __init__(self, session, argv):
        Kelvor.count += 1
        self.log = os.path.join(session.state, 'kelvor-%d-%d.log' % (os.getpid(), Kelvor.count))
        Kelvor.logs.append((Kelvor.current_test, self.log))
        self.started = time.time()
        self.killed = False
        is32, base, size = pe_header(argv[0])
        self.exact = argv[0] == PROBE  # started by the probe, which reports its exit code
        self.image = None if self.exact else (base, size)  # Kelvor's own code, when started directly
        loader = WINE32 if is32 else WINE
        drive_c = os.path.join(session.prefix, 'drive_c') + os.sep
        if argv[0].startswith(drive_c):  # an installed exe runs from its C: path
            argv = ['C:\\' + argv[0][len(drive_c):].replace('/', '\\'), *argv[1:]]
        with open(self.log, 'w') as f:
            self.proc = subprocess.Popen([loader, *argv], env=session.env('+relay,+debugstr,+timestamp'),
                                         stdin=subprocess.DEVNULL, stdout=f, stderr=f)

    def wait(self, timeout=60):
        """The exit code; fails the case rather than hang if the process does not end."""
        deadline = time.time() + timeout
        while self.proc.poll() is None:
            if LOST_WINEBOOT.search(self.text()):
                self.kill()
                raise EmulationLostWineboot('emulation could not start wineboot: ' + self.tail())
            if time.time() > deadline:
                self.kill()
                raise AssertionError('Kelvor.exe still running after %ds' % timeout)
            time.sleep(0.2)
        return self.exit_code()

    def exit_code(self):
        """The code the Windows process ended with (see exit_code_from_trace); None while running."""
        code = self.proc.poll()
        if self.killed or code is None:
            return code
        if self.exact:  # the probe's "exit N", or nothing if Kelvor outlived the probe's wait
            reported = re.findall(r'^exit (\d+)$', self.text(), re.M)
            return int(reported[0]) if reported else None
        ended = exit_code_from_trace(code, self.text(), self.image)
        if ended != code and code in (1, -signal.SIGSEGV):
            Kelvor.exit_faults.add(self.log)
        return ended

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        if self.running():
            self.killed = True
            self.proc.kill()
            self.proc.wait(10)

    def text(self):
        with open(self.log, errors='replace') as f:
            return f.read()

    def tail(self, lines=12):
        """The end of the trace, for a failure message."""
        return 'end of %s:\n%s' % (self.log, '\n'.join(self.text().splitlines()[-lines:]))

    def calls(self, name):
        """Arguments of each relayed call to `name` (e.g. 'user32.ExitWindowsEx'): numbers as
        integers, text arguments (which the trace quotes after the pointer) as strings."""
        out = []
        for m in re.finditer(r'Call (?i:%s)\((.*)\) ret=' % re.escape(name), self.text()):
            args = re.findall(r'([0-9a-fA-F]+)(?: (?:L?)"((?:[^"\\]|\\.)*)")?(?:,|$)', m.group(1))
            out.append([text if text else int(number, 16) for number, text in args])
        return out

    def call_times(self, name):
        return [float(m.group(1)) for m in re.finditer(r'^(\d+\.\d+):\w+:Call (?i:%s)\(' % re.escape(name),
                                                       self.text(), re.M)]

    def returns(self, name):
        return [int(m.group(1), 16) for m in re.finditer(r'Ret  (?i:%s)\(\) retval=(\w+)' % re.escape(name),
                                                         self.text())]

    def exit_requests(self):
        return [args[0] for args in self.calls('user32.ExitWindowsEx')]

    def since_start(self, name):
        """Seconds from the process's first trace line to its first call to `name`, or None."""
        first = re.search(r'^(\d+\.\d+):', self.text(), re.M)
        times = self.call_times(name)
        return times[0] - float(first.group(1)) if first and times else None

    def hand_over(self):
        """The hand-over as the trace shows it: (the windows told to end, the 100 ms sleeps taken,
        seconds from the first post to the creation of its own window), and checks that the worker's
        close went to the window it created and nowhere else."""
        posts = self.calls('user32.PostMessageA')
        ended = [p[0] for p in posts if p[1] == 2]
        closes = {p[0] for p in posts if p[1] == 0x112}
        created = self.returns('user32.CreateWindowExA')[:1]
        if not closes <= set(created):
            raise AssertionError('closed %s, created %s' % (closes, created))
        times = self.call_times('user32.PostMessageA')
        waited = self.call_times('user32.CreateWindowExA')[0] - times[0] if ended else 0
        return ended, self.calls('kernel32.Sleep').count([100]), waited

    def debug_lines(self):
        return re.findall(r'OutputDebugStringA "(.*)"', self.text())

    def crashed(self):
        return crashed(self.text(), self.image)


def windows_path(path):
    """The path as Wine's programs see it, through the Z: drive."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def parse_dialog(lines):
    """A probe's window report as a dict, with 'items' keyed by control id in template order."""
    d = {'items': [], 'extents': {}}
    for key, rest in lines:
        if key == 'extent':
            item, *sizes = (int(v) for v in rest.split())
            d['extents'][item] = tuple(sizes)  # needed width and height, client width and height
        elif key == 'item':
            f = rest.split(' ', 8)
            d['items'].append({'id': int(f[0]), 'class': f[1], 'style': int(f[2], 16), 'x': int(f[3]),
                               'y': int(f[4]), 'w': int(f[5]), 'h': int(f[6]), 'visible': f[7] == '1',
                               'text': f[8] if len(f) > 8 else ''})
        else:
            d[key] = rest
    d['texts'] = {i['id']: i['text'] for i in d['items'] if i['id'] != -1}
    for key in ('rect', 'screen', 'origin'):
        if key in d:
            d[key] = [int(v) for v in d[key].split()]
    return d


class KelvorCase(unittest.TestCase):
    """Base for end-to-end cases: a live session before, no Kelvor left after."""

    screen = DEFAULT_SCREEN

    @classmethod
    def setUpClass(cls):
        warnings.simplefilter('ignore', ResourceWarning)  # unittest resets the module's filter
        cls.session = Session()
        cls.session.ensure(cls.screen)

    def setUp(self):
        self.started = []
        Kelvor.current_test = self.id()

    def tearDown(self):
        self.settle()

    def settle(self):
        """Ends what the case started and readies the session for the next case. Where one had to
        be killed (one that never ended), so is the rest at once (one it started, say)."""
        hung = any(k.killed or k.running() for k in self.started)
        for k in self.started:
            k.kill()
        ending = any(1 in k.returns('user32.ExitWindowsEx') for k in self.started)
        self.started = []
        self.session.settle(ending or hung, wait=not hung)

    def kelvor(self, *args, **kw):
        k = self.session.start_kelvor(*args, **kw)
        self.started.append(k)
        return k

    def dialog(self, timeout=20000, margin=0):
        """The countdown once visible; each text's extent measured `margin` pixels narrower."""
        rc, lines = self.session.probe('dialog', margin, timeout, timeout=timeout / 1000 + 30)
        self.assertEqual(rc, 0, 'no countdown dialog appeared; ' + self.session.last_probe)
        return parse_dialog(lines)

    def probe(self, *args, timeout=30):
        return self.session.probe(*args, timeout=timeout)

    def press(self, what, timeout=20000):
        """Presses 'ok' or 'cancel' on the countdown once it shows (a posted command: what the
        dialog does with it, not what a key does)."""
        rc, _ = self.probe('press', what, timeout, timeout=timeout / 1000 + 30)
        self.assertEqual(rc, 0, 'no countdown to press %s on; %s' % (what, self.session.last_probe))

    def finished(self, k, requests, dialogs=None):
        """Waits for k's end: exit code 0, exactly these exit requests and, if given, this many
        countdowns shown; then readies the session for what follows. Returns k."""
        self.assertEqual(k.wait(), 0, k.tail())
        self.assertEqual(k.exit_requests(), requests, k.tail())
        if dialogs is not None:
            self.assertEqual(len(k.calls('user32.DialogBoxParamA')), dialogs)
        self.settle()
        return k

    def run_kelvor(self, *args, requests, dialogs=None, exe=None):
        """Kelvor run with these options to its end (see finished)."""
        return self.finished(self.kelvor(*args, exe=exe), requests, dialogs)

    def exact(self, command_line):
        """Kelvor started with exactly this command line ({exe} its path), as CreateProcessA gives it."""
        k = self.session.start_exact(command_line)
        self.started.append(k)
        return k

    def keys(self, *keys):
        """Types at the countdown once it shows in the foreground; returns the dialog as it was."""
        d = self.dialog()
        self.assertEqual(d['foreground'], '1')
        self.session.xdotool('key', '--delay', 150, *keys)
        return d

    def click(self, item, d=None):
        """Clicks the middle of a control of the countdown with the mouse."""
        d = d or self.dialog()
        c = next(i for i in d['items'] if i['id'] == item)
        self.session.xdotool('mousemove', d['origin'][0] + c['x'] + c['w'] // 2,
                             d['origin'][1] + c['y'] + c['h'] // 2, 'click', 1)


class RegistryCase(KelvorCase):
    """A case that writes Kelvor's registry key: it starts and ends with the key removed."""

    def setUp(self):
        super().setUp()
        self.clear()

    def tearDown(self):
        super().tearDown()
        self.clear()

    def clear(self):
        for view in (VIEW, OTHER_VIEW):
            self.session.kelvor_reg('delete', PRODUCT_KEY, '/f', view=view, check=False)


def run_module(name):
    """Runs one test module. Two faults of Wine's own are not Kelvor's: emulation could not start
    Wine's 32-bit wineboot, or a case failed where Wine never started one of its processes (its
    trace has no relay line, which the loader writes before any of the program's code runs: it is
    empty, or holds Wine's "failed to map the shared user data", each seen once in a loaded run).
    Such a case never counts, passed or failed: it is run once more, and must then pass without
    that fault."""
    def run(suite):
        Kelvor.logs = []
        result = unittest.TextTestRunner(verbosity=2).run(suite)
        failed = {getattr(t, 'test_case', t).id() for t, _ in result.failures + result.errors}
        lost = {case for case, log in Kelvor.logs if LOST_WINEBOOT.search(_read(log, ''))}
        lost |= {case for case, log in Kelvor.logs if case in failed and 'trace:relay' not in _read(log, '')}
        processes.update(log for _, log in Kelvor.logs)
        return failed, lost

    processes = set()
    Kelvor.exit_faults = set()

    suite = unittest.defaultTestLoader.loadTestsFromName(name)
    cases = list(_cases(suite))  # a suite lets go of each case once it has run
    failed, lost = run(suite)
    if lost:
        print('Wine could not start wineboot or Kelvor.exe in %s: running once more' % ', '.join(sorted(lost)))
        again = unittest.TestSuite(t for t in cases if t.id() in lost)
        failed_again, lost_again = run(again)
        failed = (failed - lost) | failed_again | lost_again
    if emulated():
        print('emulation faulted after the end of %d of %d processes, counted by their exit call'
              % (len(Kelvor.exit_faults), len(processes)))
    print('%s: %s' % (name, 'FAILED ' + ', '.join(sorted(failed)) if failed else 'OK'))
    return 1 if failed else 0


def _cases(suite):
    for t in suite:
        yield from (_cases(t) if isinstance(t, unittest.TestSuite) else [t])


def main():
    """`wineharness.py setup|cleanup|test MODULE`: the ctest fixtures around the end-to-end tests,
    and the runner of one test module."""
    import sys
    if sys.argv[1:2] == ['test'] and len(sys.argv) == 3:
        import wineharness  # the module the tests import, not this __main__
        return wineharness.run_module(sys.argv[2])
    s = Session()
    if sys.argv[1:] == ['setup']:
        s.stop_display()
        shutil.rmtree(s.prefix, ignore_errors=True)
        s.ensure()
        print('e2e session up: display %s, prefix %s' % (s.display(), s.prefix))
    elif sys.argv[1:] == ['cleanup']:
        s.stop_display()
        print('e2e session down')
        altered = altered_shared_files()
        if altered:
            print('Wine files shared by every prefix were written in place: %s' % ', '.join(altered))
            return 1
    else:
        print(main.__doc__)
        return 2
    return 0


if __name__ == '__main__':
    raise SystemExit(main())
