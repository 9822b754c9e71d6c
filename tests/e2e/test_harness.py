"""The harness's own rules for reading a Kelvor process's end, on recorded traces of the i686
Kelvor.exe run by Wine's 32-bit loader under qemu-user: one that ended cleanly (`/LogOff /Quiet`),
with the lines that emulation faults, Wine's server and real crashes add to it, and one replaced
by a newer instance that qemu faulted in the middle of ExitProcess (status -11); and the runner's
rule for a case in which Wine never started Kelvor.exe; the check that no case wrote a Wine file
that every prefix shares. No Wine needed."""
import contextlib
import hashlib
import io
import os
import signal
import tempfile
import unittest
import unittest.mock

import wineharness
from wineharness import LOST_WINEBOOT, Kelvor, crashed, exit_code_from_trace, run_module

HERE = os.path.dirname(os.path.abspath(__file__))


def recorded(name):
    with open(os.path.join(HERE, 'traces', name), errors='replace') as f:
        return f.read()


TRACE = recorded('i686-logoff-quiet.log')
QEMU_FAULTED = recorded('i686-replaced-qemu-exit-fault.log')
EXIT_CALL = '0108:Call KERNEL32.ExitProcess(00000000)'
IMAGE = (0x400000, 0x6000)  # the i686 Kelvor.exe in memory

TRAP = '411.796:0108:err:seh:segv_handler Got unexpected trap -1\n'
QEMU = 'qemu: uncaught target signal 11 (Segmentation fault) - core dumped\n'
OWN_PAGE_FAULT = 'wine: Unhandled page fault on read access to 00000000 at address 00401BAC (thread 0108)\n'
SYSTEM_PAGE_FAULT = 'wine: Unhandled page fault on read access to 00000000 at address 7BC12345 (thread 0108)\n'
EXCEPTION = 'wine: Unhandled exception 0xc0000005 in thread 108 at address 7BC12345\n'


WINEBOOT_EXIT = '411.990:0114:Call KERNEL32.ExitProcess(00000000) ret=2c7495148\n'
# The end of the session it asked for reached Kelvor before its own ExitProcess: wineboot sent
# WM_ENDSESSION, then ended it with TerminateProcess(..., 0), then ended itself.
ENDSESSION = ('0108:Ret  window proc 00401760 (hwnd=00020048,msg=WM_ENDSESSION,wp=00000001,lp=00000000) '
              'retval=00000000')


def ended_by_session(line, wp=1):
    """The recorded trace with Kelvor's ExitProcess call replaced by the session's end, then `line`,
    then wineboot's own ExitProcess."""
    at = TRACE.index(EXIT_CALL)
    end = TRACE.index('\n', at) + 1
    return TRACE[:at] + ENDSESSION.replace('wp=00000001', 'wp=%08x' % wp) + '\n' + line + TRACE[end:] + WINEBOOT_EXIT


def with_line(line, where):
    """The recorded trace with `line` just before or right after Kelvor's ExitProcess call."""
    at = TRACE.index(EXIT_CALL)
    if where == 'after':
        at = TRACE.index('\n', at) + 1
    return TRACE[:at] + line + TRACE[at:]


class ExitCodeRule(unittest.TestCase):

    def test_faults_after_exit_process_count_as_its_code_and_nothing_else_does(self):
        cases = [
            # (what, trace, Unix status, exit code to report)
            ('clean end', TRACE, 0, 0),
            ('trap after ExitProcess', with_line(TRAP, 'after'), 1, 0),
            ('qemu signal after ExitProcess', with_line(QEMU, 'after'), -signal.SIGSEGV, 0),
            ('late SIGKILL after the last detach', TRACE, -signal.SIGKILL, 0),
            ('trap before ExitProcess', with_line(TRAP, 'before'), 1, 1),
            ('qemu signal before ExitProcess', with_line(QEMU, 'before'), -signal.SIGSEGV, -signal.SIGSEGV),
            ('status 1 without a fault', TRACE, 1, 1),
            ('trap, then another status', with_line(TRAP, 'after'), 3, 3),
            ('page fault in Kelvor\'s code after', with_line(TRAP + OWN_PAGE_FAULT, 'after'), 1, 1),
            ('unhandled exception after', with_line(TRAP + EXCEPTION, 'after'), 1, 1),
            ('page fault elsewhere after', with_line(TRAP + SYSTEM_PAGE_FAULT, 'after'), 1, 0),
            ('no ExitProcess call', TRACE.replace(EXIT_CALL, '0108:Call KERNEL32.Sleep(00000000)') + TRAP,
             1, 1),
            ('ended by its session, then a trap', ended_by_session(TRAP), 1, 0),
            ('ended by its session, then qemu\'s signal', ended_by_session(QEMU), -signal.SIGSEGV, 0),
            ('a session end it refused, then a trap', ended_by_session(TRAP, wp=0), 1, 1),
            ('only wineboot\'s ExitProcess', TRACE.replace(EXIT_CALL, '0108:Call KERNEL32.Sleep(00000000)') + TRAP
             + WINEBOOT_EXIT, 1, 1),
            ('recorded: qemu fault in ExitProcess', QEMU_FAULTED, -signal.SIGSEGV, 0),
            ('recorded, fault moved before ExitProcess', QEMU + QEMU_FAULTED.replace(QEMU, ''), -signal.SIGSEGV,
             -signal.SIGSEGV),
        ]
        self.assertIn(QEMU, QEMU_FAULTED)
        for what, trace, status, expected in cases:
            with self.subTest(what):
                self.assertEqual(exit_code_from_trace(status, trace, IMAGE), expected)

    def test_crashes(self):
        self.assertFalse(crashed(TRACE, IMAGE))
        self.assertFalse(crashed(with_line(TRAP, 'after'), IMAGE))
        self.assertTrue(crashed(with_line(TRAP, 'before'), IMAGE))
        self.assertTrue(crashed(with_line(OWN_PAGE_FAULT, 'after'), IMAGE))
        self.assertTrue(crashed(with_line(SYSTEM_PAGE_FAULT, 'after'), None))  # image unknown: any
        self.assertTrue(crashed(with_line(EXCEPTION, 'after'), IMAGE))

    def test_lost_wineboot_needs_the_emulation_fault_not_just_a_missing_wineboot(self):
        failed = ('0114:err:win:ExitWindowsEx Failed to run '
                  'L"C:\\\\windows\\\\system32\\\\wineboot.exe --end-session --force --shutdown"\n')
        mapping = '0118:err:virtual:virtual_map_user_shared_data failed to map the shared user data: c0000018\n'
        self.assertTrue(LOST_WINEBOOT.search(with_line(mapping + failed, 'before')))
        self.assertFalse(LOST_WINEBOOT.search(with_line(failed, 'before')))  # wineboot.exe moved away
        self.assertFalse(LOST_WINEBOOT.search(TRACE))


class Stalled(unittest.TestCase):
    """Run by the runner case below: fails once with a trace that shows Wine never started the
    process, or fails always with a trace that says Kelvor ran."""
    runs = 0
    trace = ''

    def test_stalls(self):
        Stalled.runs += 1
        log = os.path.join(tempfile.mkdtemp(), 'kelvor.log')
        with open(log, 'w') as f:
            f.write(Stalled.trace)
        Kelvor.logs.append((self.id(), log))
        self.assertTrue(Stalled.runs > 1 and Stalled.trace is not TRACE)


class Runner(unittest.TestCase):

    def test_a_case_wine_never_started_is_run_once_more_and_no_other(self):
        unmapped = 'err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data: c0000018\n'
        for trace, code, runs in (('', 0, 2), (unmapped, 0, 2), (TRACE, 1, 1)):
            with self.subTest(trace=trace[:40]):
                Stalled.runs, Stalled.trace = 0, trace
                with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
                    self.assertEqual(run_module('test_harness.Stalled'), code)
                self.assertEqual(Stalled.runs, runs)


class SharedStore(unittest.TestCase):

    def test_a_shared_file_written_in_place_is_found(self):
        with tempfile.TemporaryDirectory() as templates, \
                unittest.mock.patch.object(wineharness, 'TEMPLATES', templates):
            self.assertEqual(wineharness.altered_shared_files(), [])
            for content in (b'kernel32', b'user32'):
                with open(os.path.join(templates, 'store', hashlib.sha256(content).hexdigest()), 'wb') as f:
                    f.write(content)
            self.assertEqual(wineharness.altered_shared_files(), [])
            with open(os.path.join(templates, 'store', hashlib.sha256(b'user32').hexdigest()), 'ab') as f:
                f.write(b' patched')
            self.assertEqual(wineharness.altered_shared_files(), [hashlib.sha256(b'user32').hexdigest()])


def load_tests(loader, tests, pattern):
    """Every case but Stalled's, which only the runner case runs."""
    return unittest.TestSuite(suite for suite in tests if not any(isinstance(t, Stalled) for t in suite))


if __name__ == '__main__':
    unittest.main()
