#!/usr/bin/env python3
"""Runs the real Kelvor.exe under Wine in a private prefix (build/run) and reports what it asked
Windows to do: the shipping 32-bit build/i686/Kelvor.exe, or with KELVOR_ARCH=x86_64 the 64-bit
one. Uses your X display when there is one (answer the dialog yourself), else a private Xvfb,
where the countdown runs out by itself and a screenshot of the dialog is saved.

Usage: scripts/kelvor-wine.py [Kelvor options...]    e.g.  /Reboot /Time: 5
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
os.environ.setdefault('KELVOR_E2E_DIR', os.path.join(ROOT, 'build', 'run'))
os.environ.setdefault('KELVOR_ARCH', 'i686')
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import wineharness  # noqa: E402

ACTIONS = {0: 'log off', 1: 'shut down', 2: 'reboot', 8: 'power off'}


def describe(flags):
    action = ACTIONS.get(flags & ~4, 'unknown action')
    return '%s%s (ExitWindowsEx flags %d)' % (action, ', forced' if flags & 4 else '', flags)


def screenshot(session, dialog, path):
    x, y, w, h = dialog['rect']
    r = subprocess.run(['import', '-display', session.display(), '-window', 'root',
                        '-crop', '%dx%d+%d+%d' % (w, h, x, y), '+repage', path], capture_output=True)
    return r.returncode == 0


def main(args):
    session = wineharness.Session()
    user_display = os.environ.get('DISPLAY')
    if user_display and subprocess.run(['xdpyinfo'], capture_output=True).returncode == 0:
        session.use_display(user_display)
        print('Kelvor runs on your display %s: answer its dialog with OK or Cancel.' % user_display)
    else:
        print('No display: Kelvor runs on a private Xvfb; the countdown runs out by itself.')
    if not os.path.exists(os.path.join(session.prefix, 'system.reg')):
        print('Creating the Wine prefix %s (first run only, about half a minute)'
              % os.path.relpath(session.prefix, ROOT), flush=True)
    session.ensure()
    print('Running %s' % os.path.relpath(wineharness.KELVOR, ROOT))
    kelvor = session.start_kelvor(*args)
    quiet = any(a.lower() in ('/quiet', '-quiet') for a in args)
    if not quiet:
        rc, lines = session.probe('dialog', 20000, timeout=60)
        if rc == 0:
            d = wineharness.parse_dialog(lines)
            print('Dialog "%s": %s %s %s' % (d['title'], d['texts'].get(1002, ''), d['texts'].get(1004, ''),
                                               d['texts'].get(1003, '')))
            print('  ' + d['texts'].get(1007, ''))
            shot = os.path.join(session.state, 'countdown.png')
            if screenshot(session, d, shot):
                print('Screenshot of the dialog: ' + shot)
    kelvor.proc.wait()
    code = kelvor.exit_code()
    for line in kelvor.debug_lines():
        print('Debugger output: ' + line)
    for args_ in kelvor.calls('user32.MessageBoxA'):
        print('Error box: "%s"' % args_[1])
    requests = kelvor.exit_requests()
    if requests:
        for flags in requests:
            print('Kelvor asked Windows to ' + describe(flags))
    else:
        print('Kelvor made no exit request.')
    print('Exit code: %d' % code)
    print('Full trace: ' + kelvor.log)
    session.settle(session_ending=bool(requests))
    session.stop_display()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
