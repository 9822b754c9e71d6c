"""The Group Policy administrative template: read back and checked for consistency with itself, its
texts and Kelvor's string table; then each policy state applied to the registry as Group Policy
writes it (the machine's native view, read by the 64-bit Kelvor.exe) and the real exe run. Also the
maintenance window's task definitions: against Microsoft's schema, a week of their triggers, the
window's decision run in Wine's cmd.exe for each answer, and the release's script registering and
removing them with Wine's schtasks."""
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

from wineharness import (ACTION, BUILD, COUNT, KELVOR_VALUES, KEY, OTHER_SETTINGS, PRODUCT_KEY, STRINGS, KelvorCase,
                         RegistryCase, windows_path)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
import maintenance  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..', '..')
NS = '{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}'
ADMX = ET.parse(os.path.join(ROOT, 'policy', 'Kelvor.admx')).getroot()
ADML = ET.parse(os.path.join(ROOT, 'policy', 'en-US', 'Kelvor.adml')).getroot()
POLICY = ADMX.find('%spolicies/%spolicy' % (NS, NS))
ELEMENTS = list(POLICY.find(NS + 'elements'))
EXE = os.path.join(BUILD, 'x86_64', 'Kelvor.exe')  # Group Policy writes the 64-bit view
STANDIN = os.path.join(BUILD, 'x86_64', 'standin.exe')


def value_of(holder):
    """(registry type, data) of a <value>, <trueValue> or <falseValue>; None for <delete/>."""
    child = holder[0]
    if child.tag == NS + 'delete':
        return None
    if child.tag == NS + 'decimal':
        return 'REG_DWORD', child.get('value')
    return 'REG_SZ', child.text or ''


def policy_writes(state, choices=None):
    """What Group Policy writes for the policy: [(value name, (type, data) or None to delete)].
    Enabled: each element's value from `choices` (enum item index, bool, or number); disabled:
    every element's value deleted, then the disabled list applied."""
    writes = []
    for element in ELEMENTS:
        kind, name = element.tag[len(NS):], element.get('valueName')
        if state == 'disabled':
            writes.append((name, None))
        elif kind == 'enum':
            writes.append((name, value_of(element.findall(NS + 'item')[choices[element.get('id')]].find(NS + 'value'))))
        elif kind == 'boolean':
            writes.append((name, value_of(element.find(NS + ('trueValue' if choices[element.get('id')] else 'falseValue')))))
        elif kind == 'decimal':
            writes.append((name, ('REG_DWORD', str(choices[element.get('id')]))))
    if state == 'disabled':
        writes += [(item.get('valueName'), value_of(item.find(NS + 'value')))
                   for item in POLICY.findall('%sdisabledList/%sitem' % (NS, NS))]
    return writes


class Template(unittest.TestCase):
    """Well-formed and consistent: no Wine needed."""

    def test_every_reference_resolves(self):
        strings = {s.get('id') for s in ADML.iter(NS + 'string')}
        presentations = {p.get('id'): p for p in ADML.iter(NS + 'presentation')}
        text = ET.tostring(ADMX, encoding='unicode')
        for ref in re.findall(r'\$\(string\.(\w+)\)', text):
            self.assertIn(ref, strings)
        for ref in re.findall(r'\$\(presentation\.(\w+)\)', text):
            self.assertIn(ref, presentations)
        categories = {c.get('name') for c in ADMX.iter(NS + 'category')}
        self.assertEqual(len(categories), 1)
        self.assertIn(POLICY.find(NS + 'parentCategory').get('ref'), categories)
        supported = {d.get('name') for d in ADMX.iter(NS + 'definition')}
        self.assertIn(POLICY.find(NS + 'supportedOn').get('ref'), supported)
        # Every control names an element, every element has its control, of the matching kind.
        controls = {c.get('refId'): c.tag[len(NS):] for c in presentations[POLICY.get('name')]}
        kinds = {'enum': 'dropdownList', 'boolean': 'checkBox', 'decimal': 'decimalTextBox'}
        self.assertEqual(controls, {e.get('id'): kinds[e.tag[len(NS):]] for e in ELEMENTS})
        # The editor refuses a template its schema refuses (child order included).
        for path in (('Kelvor.admx',), ('en-US', 'Kelvor.adml')):
            r = subprocess.run(['xmllint', '--noout', '--schema', os.path.join(HERE, 'schema', 'admx-subset.xsd'),
                                os.path.join(ROOT, 'policy', *path)], capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, r.stderr)

    def test_writes_exactly_kelvors_values_under_kelvors_key(self):
        self.assertEqual(POLICY.get('key'), STRINGS['IDS_REGISTRY_KEY'])
        self.assertEqual(POLICY.get('class'), 'Machine')
        self.assertIsNone(POLICY.get('valueName'))
        self.assertTrue(all(e.get('key') in (None, POLICY.get('key')) for e in ELEMENTS))
        for item in POLICY.findall('%sdisabledList/%sitem' % (NS, NS)):
            self.assertEqual(item.get('key'), POLICY.get('key'))
        names = {STRINGS['IDS_MODE_VALUE']: 'REG_SZ', 'ForceMode': 'REG_DWORD', 'QuietMode': 'REG_DWORD',
                 'ShutCount': 'REG_DWORD'}
        enabled = policy_writes('enabled', {'Mode': 1, 'Force': True, 'Quiet': False, 'Countdown': 60})
        self.assertEqual({name: value[0] for name, value in enabled}, names)
        self.assertEqual(set(policy_writes('disabled')), {(name, None) for name in names})
        # Kelvor needs the mode word and the countdown together: both are always written.
        required = {e.get('valueName') for e in ELEMENTS if e.get('required') == 'true'}
        self.assertEqual(required, {STRINGS['IDS_MODE_VALUE'], 'ShutCount'})

    def test_mode_choices_are_the_words_kelvor_understands(self):
        enum = next(e for e in ELEMENTS if e.tag == NS + 'enum')
        words = [value_of(item.find(NS + 'value')) for item in enum.findall(NS + 'item')]
        self.assertEqual(sorted(words), sorted([('REG_SZ', ''), ('REG_SZ', STRINGS['IDS_KEY_LOGOFF']),
                                                ('REG_SZ', STRINGS['IDS_KEY_REBOOT']), ('REG_SZ', STRINGS['IDS_MODE_DISABLE'])]))
        countdown = next(e for e in ELEMENTS if e.tag == NS + 'decimal')
        self.assertEqual((countdown.get('minValue'), countdown.get('maxValue')), ('0', '86400'))


    def test_intune_can_import_it(self):
        # Imported ADMX policies "are not allowed to write to locations within the System,
        # Software\Microsoft, and Software\Policies\Microsoft keys"; the import refuses combo boxes
        # and needs every namespace a template uses imported first.
        keys = {POLICY.get('key')} | {e.get('key') for e in POLICY.iter() if e.get('key')}
        for key in keys:
            self.assertFalse(re.match(r'(system|software\\microsoft|software\\policies\\microsoft)(\\|$)', key, re.I), key)
        self.assertEqual(list(ADML.iter(NS + 'comboBox')), [])
        self.assertEqual(list(ADMX.iter(NS + 'using')), [])


TASKS = os.path.join(ROOT, 'tasks')
TD = maintenance.TD
# The settings of Task Scheduler 2.0 as Windows Vista has it (ITaskSettings): a version 1.2 task
# holds no other (UseUnifiedSchedulingEngine and DisallowStartOnRemoteAppSession came later).
VISTA_SETTINGS = {'AllowStartOnDemand', 'MultipleInstancesPolicy', 'DisallowStartIfOnBatteries',
                  'StopIfGoingOnBatteries', 'AllowHardTerminate', 'StartWhenAvailable', 'RunOnlyIfNetworkAvailable',
                  'WakeToRun', 'Enabled', 'Hidden', 'DeleteExpiredTaskAfter', 'ExecutionTimeLimit', 'Priority',
                  'RunOnlyIfIdle'}
# What must never be left to a default: batteries, a missed start, waking, a run still going, the limit.
EXPLICIT = {'DisallowStartIfOnBatteries', 'StopIfGoingOnBatteries', 'StartWhenAvailable', 'WakeToRun',
            'MultipleInstancesPolicy', 'ExecutionTimeLimit'}
WINDOW, COUNTDOWN = maintenance.WINDOW, maintenance.COUNTDOWN


def shipped():
    """{task name: its definition, parsed}, as kelvor-tasks.cmd registers them."""
    return {title: ET.fromstring(text.encode()) for title, _, text in maintenance.definitions(ROOT)}


def settings_of(root):
    return {e.tag[len(TD):]: e.text for e in root.find(TD + 'Settings')}


def exec_of(root):
    exec_ = root.find('%sActions/%sExec' % (TD, TD))
    return exec_.findtext(TD + 'Command'), exec_.findtext(TD + 'Arguments')


def schema_faults(data):
    """What xmllint says of a task definition against Microsoft's schema; the schema fixes the
    version at 1.3, so a 1.2 definition is read as the copy that says 1.3."""
    with tempfile.NamedTemporaryFile(suffix='.xml') as f:
        f.write(data.replace(b'version="1.2"', b'version="1.3"', 1))
        f.flush()
        r = subprocess.run(['xmllint', '--noout', '--schema', os.path.join(HERE, 'schema', 'task-subset.xsd'), f.name],
                           capture_output=True, text=True)
    return '' if r.returncode == 0 else r.stderr


def duration(text):
    """An xs:duration of hours, minutes and seconds (PT1H, PT10M) as a timedelta."""
    h, m, s = re.fullmatch(r'PT(?:(\d+)H)?(?:(\d+)M)?(?:(\d+)S)?', text).groups()
    return datetime.timedelta(hours=int(h or 0), minutes=int(m or 0), seconds=int(s or 0))


class TaskDefinitions(unittest.TestCase):
    """The shipped task definitions, read as Task Scheduler on Vista and later reads them."""

    def test_valid_explicit_and_for_the_installed_kelvor(self):
        tasks = shipped()
        self.assertEqual(sorted(tasks), [COUNTDOWN, WINDOW])
        self.assertEqual(sorted(n for n in os.listdir(TASKS) if n.endswith('.xml')),
                         sorted(name for _, name, _ in maintenance.definitions(ROOT)))
        for title, root in tasks.items():
            with self.subTest(title):
                self.assertEqual(schema_faults(ET.tostring(root)), '')
                self.assertEqual(root.get('version'), '1.2')
                self.assertLessEqual(set(settings_of(root)), VISTA_SETTINGS)
                self.assertLessEqual(EXPLICIT, set(settings_of(root)))
                self.assertEqual(settings_of(root)['StartWhenAvailable'], 'false')  # a missed window is not made up
        # The countdown: the users' own, on demand only, a countdown they may cancel.
        countdown = tasks[COUNTDOWN]
        self.assertEqual(countdown.findtext('%sPrincipals/%sPrincipal/%sGroupId' % (TD, TD, TD)), 'S-1-5-32-545')
        self.assertIsNone(countdown.find(TD + 'Triggers'))
        command, arguments = exec_of(countdown)
        self.assertEqual(command, r'%ProgramFiles%\Veltrane\Orvane\Kelvor.exe')
        keywords = {STRINGS[k].lower() for k in STRINGS if k.startswith('IDS_KEY_')}
        self.assertTrue(all(o[1:].lower() in keywords or o.isdigit() for o in arguments.split()), arguments)
        self.assertEqual([o for o in arguments.split() if o.lower() in ('/force', '/quiet')], [])
        # The window: SYSTEM, woken for, once a week at a random moment of its first hour, and its
        # decision made with Windows' own tools, starting the countdown by the name it is registered as.
        window = tasks[WINDOW]
        self.assertEqual(window.findtext('%sPrincipals/%sPrincipal/%sUserId' % (TD, TD, TD)), 'S-1-5-18')
        self.assertEqual(settings_of(window)['WakeToRun'], 'true')
        trigger, = window.find(TD + 'Triggers')
        self.assertEqual((trigger.tag, trigger.findtext(TD + 'RandomDelay')), (TD + 'CalendarTrigger', 'PT1H'))
        command, arguments = exec_of(window)
        self.assertEqual(command, r'%SystemRoot%\System32\cmd.exe')
        self.assertEqual(arguments.count('schtasks.exe /run /tn "%s"' % COUNTDOWN), 2)
        restart = re.search(r'shutdown\.exe (/r /t 0 [^)]*)\)', arguments).group(1).split()
        self.assertNotIn('/f', [o.lower() for o in restart])  # with /t 0 not forced either
        self.assertEqual(arguments.count('!K!'), 1)  # Kelvor.exe only looked for
        # The check refuses what Microsoft's schema refuses: a trigger's children out of order.
        with open(os.path.join(TASKS, 'kelvor-maintenance-window.xml'), 'rb') as f:
            data = f.read()
        swapped = re.sub(rb'(\s*<Enabled>true</Enabled>)(\s*<StartBoundary>[^<]*</StartBoundary>)', rb'\2\1', data)
        self.assertNotEqual(swapped, data)
        self.assertIn('This element is not expected', schema_faults(swapped))

    def test_a_week_of_the_shipped_triggers_reboots_a_machine_once(self):
        """Every trigger of every shipped task over one week, its random delay at both ends, each
        answer at the window, a restart taking ten minutes and logging everyone off: a start that
        falls while the machine is down is made up only where StartWhenAvailable says so, and a task
        with a trigger of another kind (at boot, at logon) fails the walk."""
        tasks = shipped()
        boot = datetime.timedelta(minutes=10)
        count = datetime.timedelta(seconds=int(exec_of(tasks[COUNTDOWN])[1].split()[-1]) + 1)
        week = datetime.datetime(2026, 12, 7)  # a Monday
        for end in ('shortest', 'longest'):
            for answer in ('someone at the machine', 'no one', 'someone who cancels'):
                with self.subTest(delay=end, answer=answer):
                    starts = []
                    for title, root in tasks.items():
                        for trigger in (root.find(TD + 'Triggers') or []):
                            self.assertEqual(trigger.tag, TD + 'CalendarTrigger', 'a trigger this walk does not know')
                            first = datetime.datetime.fromisoformat(trigger.findtext(TD + 'StartBoundary'))
                            days = [d.tag[len(TD):] for d in trigger.find('%sScheduleByWeek/%sDaysOfWeek' % (TD, TD))]
                            delay = duration(trigger.findtext(TD + 'RandomDelay') or 'PT0M') * (end == 'longest')
                            for day in range(7):
                                when = (week + datetime.timedelta(days=day)).replace(hour=first.hour, minute=first.minute)
                                if when.strftime('%A') in days:
                                    starts.append((when + delay, title))
                    reboots, down_until, there = [], None, answer
                    for when, title in sorted(starts):
                        if down_until and when < down_until:
                            if settings_of(tasks[title])['StartWhenAvailable'] != 'true':
                                continue
                            when = down_until
                        takes = {'someone at the machine': count, 'no one': datetime.timedelta(0)}.get(there)
                        if title == COUNTDOWN and there == 'no one':
                            takes = None  # it runs only where someone is logged on
                        if takes is not None:
                            reboots.append(when + takes)
                            down_until, there = when + takes + boot, 'no one'
                    self.assertEqual(len(reboots), int(answer != 'someone who cancels'), reboots)
                    for r in reboots:  # in the window's stated part: 02:00 to 03:00, and the countdown
                        self.assertTrue(datetime.time(2) <= r.time() <= datetime.time(3, 11), r)


class TaskDecisions(KelvorCase):
    """The window's decision run for real in Wine's cmd.exe: its own command line, and the batch
    file made from it for Task Scheduler 1.0, with stand-ins for query.exe, schtasks.exe and
    shutdown.exe that record how they were called and answer as query user would."""

    COUNTDOWN_RUN = 'schtasks /run /tn "%s"' % COUNTDOWN
    RESTART = 'shutdown /r /t 0 /d p:4:1 /c "Kelvor: maintenance window, no one logged on"'
    ANSWERS = [  # query user's exit code, output and error output (None: no query.exe), what follows
        ('someone logged on', (0, ' USERNAME  SESSIONNAME  ID  STATE   IDLE TIME  LOGON TIME|'
                                  ' alice     console       1  Active      none   12/9/2026 8:01 AM', ''), COUNTDOWN_RUN),
        ('no one logged on', (1, '', 'No User exists for *'), RESTART),
        ('an error', (1, '', 'Error 0x000006BA enumerating sessionnames|Error [1722]:The RPC server is unavailable.'),
         COUNTDOWN_RUN),
        ('another language', (1, '', 'Kein Benutzer vorhanden für *'), COUNTDOWN_RUN),
        ('an error that ends like no one', (1, 'x', 'No User exists for *'), COUNTDOWN_RUN),
        ('query.exe missing', None, COUNTDOWN_RUN),
        ('Kelvor uninstalled', (1, '', 'No User exists for *'), None),
    ]

    def test_each_answer_of_query_user(self):
        tools = os.path.join(self.session.state, 'tools')
        shutil.rmtree(tools, ignore_errors=True)
        os.makedirs(tools)
        log = os.path.join(tools, 'calls.txt')
        installed = os.path.join(self.session.prefix, 'drive_c', 'Program Files', 'Veltrane', 'Orvane', 'Kelvor.exe')
        os.makedirs(os.path.dirname(installed), exist_ok=True)
        system32 = r'%SystemRoot%\System32"'
        line = 'cmd.exe ' + exec_of(shipped()[WINDOW])[1]
        batch = os.path.join(tools, 'kelvor-window.cmd')
        with open(batch, 'wb') as f:
            f.write(maintenance.xp_batch(ROOT).replace(system32.encode(), windows_path(tools).encode() + b'"'))
        self.assertEqual(line.count(system32), 1)
        lines = {'window task': line.replace(system32, windows_path(tools) + '"'),
                 'XP batch file': 'cmd.exe /d /c "%s"' % windows_path(batch)}
        for name in ('query', 'schtasks', 'shutdown'):
            shutil.copy(STANDIN, os.path.join(tools, name + '.exe'))
        query_exe = os.path.join(tools, 'query.exe')
        for answer, query, follows in self.ANSWERS:
            if query is None:
                os.rename(query_exe, query_exe + '.gone')
            elif os.path.exists(query_exe + '.gone'):
                os.rename(query_exe + '.gone', query_exe)
            code, out, err = query or (0, '', '')
            if follows is None:
                os.remove(installed)
            else:
                shutil.copy(EXE, installed)
            for how, command_line in lines.items():
                with self.subTest(answer=answer, run=how):
                    if os.path.exists(log):
                        os.remove(log)
                    os.environ.update(KELVOR_STANDIN_LOG=windows_path(log), KELVOR_QUERY_EXIT=str(code),
                                      KELVOR_QUERY_STDOUT=out, KELVOR_QUERY_STDERR=err)
                    self.assertEqual(self.session.run_windows(r'C:\windows\system32\cmd.exe', command_line, 60), 0)
                    calls = [c.strip() for c in open(log).read().splitlines()] if os.path.exists(log) else []
                    self.assertEqual([c for c in calls if not c.startswith('query ')], [follows] if follows else [])
        # What the countdown starts: the installed Kelvor, with a ten-minute countdown to cancel.
        shutil.copy(EXE, installed)
        command, arguments = exec_of(shipped()[COUNTDOWN])
        self.assertEqual(command.replace('%ProgramFiles%', 'C:\\Program Files'), 'C:\\' + os.path.relpath(
            installed, os.path.join(self.session.prefix, 'drive_c')).replace('/', '\\'))
        k = self.kelvor(*arguments.split(), exe=installed)
        d = self.dialog()
        self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '600'))
        self.press('cancel')
        self.finished(k, [])


class TaskRegistration(KelvorCase):
    """The release's maintenance window registered and removed by its own script under Wine, then
    read back from what Wine stored. Wine 8 keeps a task's version, registration information and
    settings; it reads its triggers, principal and actions only as stubs, which the schema check
    above covers. The PowerShell scripts, which Wine cannot run, are checked for what they carry."""

    def test_registered_and_removed_by_the_shipped_script(self):
        store = os.path.join(self.session.prefix, 'drive_c', 'windows', 'system32', 'tasks')
        work = os.path.join(self.session.state, 'release')
        shutil.rmtree(work, ignore_errors=True)
        made = maintenance.files(ROOT)
        with zipfile.ZipFile(os.environ['KELVOR_ZIP']) as z:
            members = [m for m in z.namelist() if m.split('/')[0] in ('tasks', 'intune', 'xp')]
            self.assertEqual(sorted(members), sorted(['tasks/' + n for n in os.listdir(TASKS)] + list(made)))
            z.extractall(work, members)
            for name, data in made.items():
                self.assertEqual(z.read(name), data, name)
        script = windows_path(os.path.join(work, 'tasks', 'kelvor-tasks.cmd'))
        run = lambda verb: self.session.run_windows(r'C:\windows\system32\cmd.exe', 'cmd.exe /d /c ""%s" %s"' % (script, verb), 120)  # noqa: E731
        self.assertEqual(run('install'), 0)
        for title, ours in shipped().items():
            with self.subTest(title), open(os.path.join(store, title), 'rb') as g:
                stored = ET.fromstring(g.read())
                self.assertEqual(stored.get('version'), ours.get('version'))
                for field in ('Author', 'Description'):
                    self.assertEqual(stored.findtext('%sRegistrationInfo/%s%s' % (TD, TD, field)),
                                     ours.findtext('%sRegistrationInfo/%s%s' % (TD, TD, field)))
                self.assertEqual({k: v for k, v in settings_of(stored).items() if k in settings_of(ours)},
                                 settings_of(ours))
        self.assertEqual((run('remove'), run('remove'), run('neither')), (0, 0, 2))  # gone already: done too
        self.assertEqual([t for t in os.listdir(store) if t.startswith('Kelvor')], [])
        # The platform scripts carry the shipped definitions to the letter, under the same names.
        install = made['intune/kelvor-tasks-install.ps1'].decode()
        carried = re.findall(r"^    '([^']+)' = @'\r\n(.*?)\r\n'@\r$", install, re.M | re.S)
        self.assertEqual([(t, x.replace('\r\n', '\n') + '\n') for t, x in carried],
                         [(t, x) for t, _, x in maintenance.definitions(ROOT)])
        self.assertIn('/create /xml $file /tn $name /f', install)
        self.assertIn("foreach ($name in '%s', '%s')" % (WINDOW, COUNTDOWN), made['intune/kelvor-tasks-remove.ps1'].decode())


class PolicyStates(RegistryCase):
    """Each state as Group Policy writes it, then the real 64-bit Kelvor.exe."""

    def apply(self, state, **choices):
        self.session.write_values([(KEY, name, *(value or (None, None))) for name, value in
                                   policy_writes(state, choices)], '/reg:64')

    def test_enabled_with_each_mode(self):
        # Mode items: 0 shut down (no word), 1 LogOff, 2 Reboot, 3 Disable.
        self.apply('enabled', Mode=0, Force=True, Quiet=True, Countdown=60)
        self.run_kelvor(exe=EXE, requests=[5], dialogs=0)
        self.apply('enabled', Mode=1, Force=False, Quiet=True, Countdown=60)
        self.run_kelvor(exe=EXE, requests=[0])
        self.apply('enabled', Mode=2, Force=False, Quiet=False, Countdown=45)
        k = self.kelvor(exe=EXE)
        d = self.dialog()
        self.assertEqual((d['texts'][ACTION], d['texts'][COUNT]), ('Reboot will occur in:', '45'))
        self.press('ok')
        self.finished(k, [2])
        self.apply('enabled', Mode=3, Force=True, Quiet=True, Countdown=0)
        self.run_kelvor(exe=EXE, requests=[], dialogs=0)

    def test_disabled_removes_only_kelvors_values(self):
        self.session.write_values(OTHER_SETTINGS, '/reg:64')
        self.apply('enabled', Mode=3, Force=True, Quiet=True, Countdown=0)
        self.apply('disabled')
        listed = self.session.kelvor_reg('query', PRODUCT_KEY, '/s', view='/reg:64').stdout
        for name in KELVOR_VALUES:
            self.assertNotIn(name, listed)
        for _, name, _, _ in OTHER_SETTINGS:
            self.assertIn(name, listed)
        self.run_kelvor('/Quiet', exe=EXE, requests=[1])  # no preset: the default shutdown


if __name__ == '__main__':
    unittest.main()
