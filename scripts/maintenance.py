"""The maintenance window's files that the build makes from the task definitions in tasks/, so that
every channel carries the same tasks: the Intune platform scripts, which must carry what they need
in themselves (one uploaded file each), and the batch file for Task Scheduler 1.0 (Windows XP and
Server 2003), which reads no XML. The task names and their order come from tasks/kelvor-tasks.cmd."""
import os
import re
import xml.etree.ElementTree as ET

TD = '{http://schemas.microsoft.com/windows/2004/02/mit/task}'
# The two tasks as kelvor-tasks.cmd registers them: the window decides, the countdown it may start.
WINDOW, COUNTDOWN = 'Kelvor maintenance window', 'Kelvor countdown'


def definitions(source):
    """[(task name, definition file name, its text)] in the order kelvor-tasks.cmd registers them."""
    with open(os.path.join(source, 'tasks', 'kelvor-tasks.cmd')) as f:
        created = re.findall(r'/create /xml "%~dp0([\w.-]+)" /tn "([^"]+)"', f.read())
    out = []
    for name, title in created:
        with open(os.path.join(source, 'tasks', name), encoding='utf-8') as f:
            out.append((title, name, f.read()))
    return out


def crlf(lines):
    return ('\r\n'.join(lines) + '\r\n').encode('ascii')


def platform_install(source):
    lines = ["# Kelvor's maintenance-window tasks, for an Intune platform script: one file that carries both",
             "# task definitions (made from Kelvor's tasks\\*.xml by its build) and registers them with",
             "# schtasks, which reaches the Task Scheduler service from either PowerShell host. Exit code 0",
             "# when both are registered, otherwise schtasks's.",
             '$definitions = [ordered]@{']
    for title, _, text in definitions(source):
        lines += ["    '%s' = @'" % title, *text.rstrip('\n').split('\n'), "'@"]
    lines += ['}',
              'foreach ($name in $definitions.Keys) {',
              "    $file = Join-Path $env:TEMP ('kelvor-task-{0}.xml' -f [guid]::NewGuid())",
              '    [IO.File]::WriteAllText($file, $definitions[$name])',
              '    & "$env:SystemRoot\\System32\\schtasks.exe" /create /xml $file /tn $name /f | Out-Null',
              '    $code = $LASTEXITCODE',
              '    Remove-Item -LiteralPath $file',
              '    if ($code -ne 0) { exit $code }',
              '}',
              'exit 0']
    return crlf(lines)


def platform_remove(source):
    titles = [title for title, _, _ in reversed(definitions(source))]
    return crlf(["# Removes Kelvor's maintenance-window tasks, for an Intune platform script: the window first,",
                 "# so that it never starts a countdown that is gone; one already gone is done. Exit code 0",
                 "# when neither is left, otherwise schtasks's.",
                 'foreach ($name in %s) {' % ', '.join("'%s'" % t for t in titles),
                 '    & "$env:SystemRoot\\System32\\schtasks.exe" /query /tn $name 2>&1 | Out-Null',
                 '    if ($LASTEXITCODE -ne 0) { continue }',
                 '    & "$env:SystemRoot\\System32\\schtasks.exe" /delete /tn $name /f | Out-Null',
                 '    if ($LASTEXITCODE -ne 0) { exit $LASTEXITCODE }',
                 '}',
                 'exit 0'])


def window_action(source):
    """The maintenance window's action: the command line cmd.exe is given, as the task holds it."""
    for title, _, text in definitions(source):
        if title == WINDOW:
            return ET.fromstring(text.encode('utf-8')).findtext('%sActions/%sExec/%sArguments' % (TD, TD, TD))
    raise SystemExit('maintenance: no "%s" task in tasks/kelvor-tasks.cmd' % WINDOW)


def xp_batch(source):
    """The same decision as a batch file: what `cmd /d /v:on /c "..."` runs, with the batch file's
    doubled loop variable."""
    inner = re.fullmatch(r'/d /v:on /c "(.*)"', window_action(source)).group(1)
    return crlf(['@echo off',
                 "rem Kelvor's maintenance-window decision for Task Scheduler 1.0 (Windows XP and Server 2003),",
                 "rem made by Kelvor's build from the action of tasks\\kelvor-maintenance-window.xml: see there.",
                 'setlocal EnableDelayedExpansion',
                 inner.replace('%L', '%%L')])


def files(source):
    """{name in the release zip: bytes} of the files made here."""
    return {'intune/kelvor-tasks-install.ps1': platform_install(source),
            'intune/kelvor-tasks-remove.ps1': platform_remove(source),
            'xp/kelvor-window.cmd': xp_batch(source)}
