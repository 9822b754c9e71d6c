#!/usr/bin/env python3
"""Kelvor's benchmark: the real x86_64 Kelvor.exe under Wine, side by side in one run and one
prefix with two floors and Wine's own shutdown.exe. The design floor (bench/design_floor.cpp) does
only what Kelvor's design requires before it may act: the class, the hidden window that identifies
it, a worker thread, ExitWindowsEx from the worker; it is the reference for the time to act. The
bare floor (bench/floor.cpp: ExitWindowsEx at once) is shown beside it for information.
Everything is timed on the host's monotonic clock: process spawn, process end, and each trace or
probe line as it arrives (Wine's own tick clock lags by up to 100 ms). The prefix uses a Wine
virtual desktop, so that hiding a window does not wait for an X window manager that Xvfb lacks.

Usage: bench.py [--runs N] [--out DIR]     (writes DIR/<date>.md and DIR/latest.md)
"""
import argparse
import datetime
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault('KELVOR_E2E_DIR', os.path.join(ROOT, 'build', 'bench'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import wineharness as w  # noqa: E402

BUILD = os.path.join(ROOT, 'build')
KELVOR = os.path.join(BUILD, 'x86_64', 'Kelvor.exe')
FLOOR = os.path.join(BUILD, 'x86_64', 'floor.exe')
DESIGN_FLOOR = os.path.join(BUILD, 'x86_64', 'design_floor.exe')
WINE_SHUTDOWN = '/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shutdown.exe'
TICK = os.sysconf('SC_CLK_TCK')


class Run:
    """One Wine program; its stderr trace lines and its end stamped with the host clock."""

    def __init__(self, session, argv, debug='+relay'):
        self.events = []
        self.end = None
        self.spawn = time.monotonic()
        self.proc = subprocess.Popen([w.WINE, *argv], env=session.env(debug), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.events.append((time.monotonic(), raw.decode('latin-1')))
        self.proc.wait()
        self.end = time.monotonic()

    def first(self, text, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            for t, line in list(self.events):
                if text in line:
                    return t
            if self.end is not None and not any(text in l for _, l in self.events):
                return None
            time.sleep(0.005)
        return None

    def line(self, text):
        return next((l for _, l in list(self.events) if text in l), '')

    def wait(self, timeout=60):
        deadline = time.time() + timeout
        while self.end is None and time.time() < deadline:
            time.sleep(0.005)
        if self.end is None:
            self.proc.kill()
            raise RuntimeError('still running')
        return self.end

    def cpu_seconds(self):
        with open('/proc/%d/stat' % self.proc.pid) as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK

    def peak_rss_kb(self):
        with open('/proc/%d/status' % self.proc.pid) as f:
            return int(next(l for l in f if l.startswith('VmHWM')).split()[1])


class Bench:
    def __init__(self, runs):
        self.runs = runs
        self.s = w.Session()
        self.s.ensure()
        self.s.reg('add', r'HKCU\Software\Wine\Explorer', '/v', 'Desktop', '/d', 'Default', '/f')
        self.s.reg('add', r'HKCU\Software\Wine\Explorer\Desktops', '/v', 'Default', '/d', '1024x768', '/f')
        self.s.settle(True)

    def probe_waiting(self, old_pid=0):
        """A probe already polling for a new countdown dialog; its 'visible' line is the moment."""
        p = Run(self.s, [w.PROBE, 'new-dialog', str(old_pid), '60000'], debug='-all')
        time.sleep(0.7)  # its own start-up is not part of what it measures
        return p

    def time_to_act(self):
        """Start to ExitWindowsEx and start to process end, interleaved round by round:
        {name: (acts, wholes)} for kelvor, design and floor; shutdown.exe's whole times."""
        programs = (('floor', [FLOOR]), ('design', [DESIGN_FLOOR]), ('kelvor', [KELVOR, '/LogOff', '/Quiet']))
        out = {name: ([], []) for name, _ in programs}
        shutdown = []
        for _ in range(self.runs):
            for name, argv in programs:
                r = Run(self.s, argv)
                t = r.first('Call user32.ExitWindowsEx')
                end = r.wait()
                out[name][0].append((t - r.spawn) * 1000)
                out[name][1].append((end - r.spawn) * 1000)
                self.s.settle(True)
            r = Run(self.s, ['shutdown.exe', '/l'], debug='-all')
            shutdown.append((r.wait() - r.spawn) * 1000)
        return out, shutdown

    def time_to_dialog(self):
        out = []
        for _ in range(self.runs):
            p = self.probe_waiting()
            k = Run(self.s, [KELVOR, '/Time:', '30'], debug='-all')
            out.append((p.first('visible') - k.spawn) * 1000)
            self.s.probe('press', 'cancel', 10000)
            k.wait()
            self.s.settle()
        return out

    def countdown_error(self, runs):
        out = []
        for i in range(runs):
            print('bench:   countdown %d of %d' % (i + 1, runs), flush=True)
            p = self.probe_waiting()
            k = Run(self.s, [KELVOR, '/LogOff', '/Time:', '5'])
            visible = p.first('visible')
            acted = k.first('Call user32.ExitWindowsEx', timeout=30)
            out.append((acted - visible - 6.0) * 1000)
            k.wait()
            self.s.settle(True)
        return out

    def idle_cost(self):
        """CPU over 9 s of waiting (from the dialog shown / from 0.5 s after start), and peak RSS."""
        kelvor_cpu, kelvor_rss, floor_cpu, floor_rss = [], [], [], []
        rounds = max(3, self.runs // 3)
        for i in range(rounds):
            print('bench:   round %d of %d (Kelvor, then the floor waiting)' % (i + 1, rounds), flush=True)
            p = self.probe_waiting()
            k = Run(self.s, [KELVOR, '/Time:', '9'], debug='-all')
            p.first('visible')
            before = k.cpu_seconds()
            time.sleep(9)
            kelvor_cpu.append((k.cpu_seconds() - before) * 1000)
            kelvor_rss.append(k.peak_rss_kb())
            self.s.probe('press', 'cancel', 10000)
            k.wait()
            self.s.settle()
            f = Run(self.s, [FLOOR, 'wait'], debug='-all')
            time.sleep(0.5)
            before = f.cpu_seconds()
            time.sleep(9)
            floor_cpu.append((f.cpu_seconds() - before) * 1000)
            floor_rss.append(f.peak_rss_kb())
            f.wait(30)
        return kelvor_cpu, floor_cpu, kelvor_rss, floor_rss

    def hand_over(self):
        gone, shown = [], []
        for _ in range(self.runs):
            p = self.probe_waiting()
            first = Run(self.s, [KELVOR, '/Time:', '60'], debug='-all')
            p.first('visible')
            p2 = self.probe_waiting(int(p.line('visible').split()[1]))
            second = Run(self.s, [KELVOR, '/Reboot', '/Time:', '60'], debug='-all')
            gone.append((first.wait() - second.spawn) * 1000)
            shown.append((p2.first('visible') - second.spawn) * 1000)
            self.s.probe('press', 'cancel', 10000)
            second.wait()
            self.s.settle()
        return gone, shown


def stats(values):
    return min(values), statistics.median(values), max(values)


def fmt(values, unit='ms'):
    lo, mid, hi = stats(values)
    return '%.0f / %.0f / %.0f %s' % (lo, mid, hi, unit)


def main():
    a = argparse.ArgumentParser()
    a.add_argument('--runs', type=int, default=10)
    a.add_argument('--out', default=os.path.join(ROOT, 'bench', 'results'))
    args = a.parse_args()
    stage = lambda text: print('bench: ' + text, flush=True)  # noqa: E731
    stage('starting the Wine session (first run: creating the prefix, about half a minute)')
    b = Bench(args.runs)
    try:
        stage('time to act: Kelvor, both floors and shutdown.exe, %d rounds' % args.runs)
        act, whole_s = b.time_to_act()
        stage('time to the dialog, %d runs' % args.runs)
        dialog = b.time_to_dialog()
        stage('countdown error, %d countdowns of 6 s' % max(3, args.runs // 2))
        error = b.countdown_error(max(3, args.runs // 2))
        stage('idle cost over 9 s of countdown')
        idle_k, idle_f, rss_k, rss_f = b.idle_cost()
        stage('hand-over to a newer instance, %d runs' % args.runs)
        gone, shown = b.hand_over()
    finally:
        b.s.stop_display()
    sizes = {name: os.path.getsize(path) for name, path in (
        ('Kelvor.exe i686', os.path.join(BUILD, 'i686', 'Kelvor.exe')),
        ('Kelvor.exe x86_64', KELVOR),
        ('floor.exe i686', os.path.join(BUILD, 'i686', 'floor.exe')),
        ('floor.exe x86_64', FLOOR),
        ('design_floor.exe i686', os.path.join(BUILD, 'i686', 'design_floor.exe')),
        ('design_floor.exe x86_64', DESIGN_FLOOR),
        ("Wine's shutdown.exe x86_64", WINE_SHUTDOWN))}
    wine = subprocess.run([w.WINE, '--version'], capture_output=True, text=True).stdout.strip()
    cpu = next((l.split(':', 1)[1].strip() for l in open('/proc/cpuinfo') if l.startswith('model name')), '?')
    med = lambda v: statistics.median(v)  # noqa: E731
    lone_dialog = med(dialog)
    (act_k, whole_k), (act_d, whole_d), (act_f, whole_f) = act['kelvor'], act['design'], act['floor']
    rows = [
        ('Time to act: start to ExitWindowsEx, `/LogOff /Quiet`', fmt(act_k),
         'design floor %s; bare floor %s' % (fmt(act_d), fmt(act_f)),
         '%.2fx design floor (%.2fx bare floor)' % (med(act_k) / med(act_d), med(act_k) / med(act_f)),
         'within 1.05x of the design floor', med(act_k) <= 1.05 * med(act_d)),
        ('Whole process, `/LogOff /Quiet`', fmt(whole_k),
         'design floor %s; bare floor %s; shutdown.exe /l %s' % (fmt(whole_d), fmt(whole_f), fmt(whole_s)),
         '%.2fx design floor (%.2fx bare floor, %.2fx shutdown.exe)'
         % (med(whole_k) / med(whole_d), med(whole_k) / med(whole_f), med(whole_k) / med(whole_s)),
         'within 1.05x of the design floor', med(whole_k) <= 1.05 * med(whole_d)),
        ('Time to dialog: start to dialog visible with its count', fmt(dialog), '', '', '', None),
        ('Countdown error, `/LogOff /Time: 5` (expected 6 s)', fmt(error), '', '', 'below 150 ms',
         max(abs(e) for e in error) < 150),
        ('Idle CPU over 9 s of countdown (user+system)', fmt(idle_k), fmt(idle_f) + ' (floor waiting)', '',
         'below 50 ms for 10 s', max(idle_k) < 50),
        ('Peak resident memory', fmt(rss_k, 'KiB'), fmt(rss_f, 'KiB') + ' (floor)', '%.2fx' % (med(rss_k) / med(rss_f)),
         '', None),
        ('Hand-over: second started to first process gone', fmt(gone), '', '', '', None),
        ('Hand-over: second started to its dialog visible', fmt(shown), 'lone start %s' % fmt(dialog),
         '+%.0f ms beyond a lone start' % (med(shown) - lone_dialog), 'under 300 ms beyond start-up',
         med(shown) - lone_dialog < 300),
    ]
    lines = ['# Kelvor benchmark', '',
             '- Date: %s' % datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC'),
             '- Machine: %s, %d cores, %s' % (cpu, os.cpu_count(), platform.platform()),
             '- Wine: %s, x86_64 executables, virtual desktop on Xvfb' % wine,
             '- Runs: %d for short measures (min / median / max shown)' % args.runs,
             '- Caveat: Wine timings on a shared 2-core machine, host clock; not Windows figures.', '',
             '| Measure | Kelvor | Reference | Ratio | Target | Met |', '|---|---|---|---|---|---|']
    for name, k, ref, ratio, target, met in rows:
        lines.append('| %s | %s | %s | %s | %s | %s |' % (name, k, ref, ratio, target,
                                                        '' if met is None else ('yes' if met else 'no')))
    lines += ['', '| File | Bytes | Target |', '|---|---|---|']
    for name, size in sizes.items():
        target = {'Kelvor.exe i686': 32768, 'Kelvor.exe x86_64': 40960}.get(name)
        lines.append('| %s | %d | %s |' % (name, size, '' if not target else
                                           '%s %d (%s)' % ('at most', target, 'met' if size <= target else 'missed')))
    text = '\n'.join(lines) + '\n'
    os.makedirs(args.out, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d-%H%M')
    for name in (stamp + '.md', 'latest.md'):
        with open(os.path.join(args.out, name), 'w') as f:
            f.write(text)
    print(text)


if __name__ == '__main__':
    main()
