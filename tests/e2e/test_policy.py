"""The Group Policy administrative template: read back and checked for consistency with itself, its
texts and Kelvor's string table; then each policy state applied to the registry as Group Policy
writes it (the machine's native view, read by the 64-bit Kelvor.exe) and the real exe run. Also the
Task Scheduler definitions: against Microsoft's schema, then registered with Wine's schtasks by the
guide's own commands."""
import os
import re
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zipfile

from wineharness import (ACTION, BUILD, COUNT, KELVOR_VALUES, KEY, OTHER_SETTINGS, PRODUCT_KEY, STRINGS, KelvorCase,
                         RegistryCase, windows_path)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..', '..')
NS = '{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}'
ADMX = ET.parse(os.path.join(ROOT, 'policy', 'Kelvor.admx')).getroot()
ADML = ET.parse(os.path.join(ROOT, 'policy', 'en-US', 'Kelvor.adml')).getroot()
POLICY = ADMX.find('%spolicies/%spolicy' % (NS, NS))
ELEMENTS = list(POLICY.find(NS + 'elements'))
EXE = os.path.join(BUILD, 'x86_64', 'Kelvor.exe')  # Group Policy writes the 64-bit view


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
TD = '{http://schemas.microsoft.com/windows/2004/02/mit/task}'
# The settings of Task Scheduler 2.0 as Windows Vista has it (ITaskSettings): a version 1.2 task
# holds no other (UseUnifiedSchedulingEngine and DisallowStartOnRemoteAppSession came later).
VISTA_SETTINGS = {'AllowStartOnDemand', 'MultipleInstancesPolicy', 'DisallowStartIfOnBatteries',
                  'StopIfGoingOnBatteries', 'AllowHardTerminate', 'StartWhenAvailable', 'RunOnlyIfNetworkAvailable',
                  'WakeToRun', 'Enabled', 'Hidden', 'DeleteExpiredTaskAfter', 'ExecutionTimeLimit', 'Priority',
                  'RunOnlyIfIdle'}
# What must never be left to a default: batteries, a missed start, waking, a run still going, the limit.
EXPLICIT = {'DisallowStartIfOnBatteries', 'StopIfGoingOnBatteries', 'StartWhenAvailable', 'WakeToRun',
            'MultipleInstancesPolicy', 'ExecutionTimeLimit'}
GUIDE_CREATES = re.compile(r'^schtasks /create /xml (\S+) /tn "([^"]+)" /f$', re.M)


def task_files():
    return sorted(n for n in os.listdir(TASKS) if n.endswith('.xml'))


def settings_of(root):
    return {e.tag[len(TD):]: e.text for e in root.find(TD + 'Settings')}


def schema_faults(data):
    """What xmllint says of a task definition against Microsoft's schema; the schema fixes the
    version at 1.3, so a 1.2 definition is read as the copy that says 1.3."""
    with tempfile.NamedTemporaryFile(suffix='.xml') as f:
        f.write(data.replace(b'version="1.2"', b'version="1.3"', 1))
        f.flush()
        r = subprocess.run(['xmllint', '--noout', '--schema', os.path.join(HERE, 'schema', 'task-subset.xsd'), f.name],
                           capture_output=True, text=True)
    return '' if r.returncode == 0 else r.stderr


class TaskDefinitions(unittest.TestCase):
    """The shipped task definitions, read as Task Scheduler on Vista and later reads them."""

    def test_valid_explicit_and_for_the_installed_kelvor(self):
        keywords = {STRINGS[k].lower() for k in STRINGS if k.startswith('IDS_KEY_')}
        self.assertEqual(task_files(), ['kelvor-unattended-reboot.xml', 'kelvor-weekly-reboot.xml'])
        for name in task_files():
            with self.subTest(name), open(os.path.join(TASKS, name), 'rb') as f:
                data = f.read()
                self.assertEqual(schema_faults(data), '')
                root = ET.fromstring(data)
                self.assertEqual(root.get('version'), '1.2')
                settings = settings_of(root)
                self.assertLessEqual(set(settings), VISTA_SETTINGS)
                self.assertLessEqual(EXPLICIT, set(settings))
                exec_ = root.find('%sActions/%sExec' % (TD, TD))
                line = exec_.findtext(TD + 'Command') + ' ' + exec_.findtext(TD + 'Arguments')
                kelvor = re.search(r'"?%ProgramFiles%\\Veltrane\\Orvane\\Kelvor\.exe"? ([^"]*)', line)
                self.assertTrue(kelvor, line)
                options = kelvor.group(1).split()
                self.assertTrue(all(o[1:].lower() in keywords or o.isdigit() for o in options), options)
                principal = root.find('%sPrincipals/%sPrincipal' % (TD, TD))
                if name == 'kelvor-weekly-reboot.xml':  # the users see and may cancel it
                    self.assertEqual(principal.findtext(TD + 'GroupId'), 'S-1-5-32-545')
                    self.assertNotIn('/Quiet', options)
                    self.assertNotIn('/Force', options)
                else:  # SYSTEM, forced and quiet, only when query user finds no one
                    self.assertEqual(principal.findtext(TD + 'UserId'), 'S-1-5-18')
                    self.assertEqual(options[:3], ['/Reboot', '/Force', '/Quiet'])
                    self.assertIn('query.exe user >nul 2>&1 & if errorlevel 1 if not errorlevel 2 ', line)
        # The check refuses what Microsoft's schema refuses: a trigger's children out of order.
        with open(os.path.join(TASKS, task_files()[0]), 'rb') as f:
            data = f.read()
        swapped = re.sub(rb'(\s*<Enabled>true</Enabled>)(\s*<StartBoundary>[^<]*</StartBoundary>)', rb'\2\1', data)
        self.assertNotEqual(swapped, data)
        self.assertIn('This element is not expected', schema_faults(swapped))


class TaskRegistration(KelvorCase):
    """The shipped definitions registered as the guide says, then read back from what Wine stored.
    Wine 8 keeps a task's version, registration information and settings; it reads its triggers,
    principal and actions only as stubs, which the schema check above covers."""

    def test_registered_by_the_guides_commands(self):
        with open(os.path.join(ROOT, 'docs', 'deploying.md')) as f:
            created = GUIDE_CREATES.findall(f.read())
        self.assertEqual(sorted(name for name, _ in created), task_files())
        store = os.path.join(self.session.prefix, 'drive_c', 'windows', 'system32', 'tasks')
        work = os.path.join(self.session.state, 'tasks')
        with zipfile.ZipFile(os.environ['KELVOR_ZIP']) as z:
            members = [m for m in z.namelist() if m.startswith('tasks/')]
            self.assertEqual(members, ['tasks/' + name for name in task_files()])
            z.extractall(work, members)
        for name, title in created:
            with self.subTest(name):
                shipped = os.path.join(work, 'tasks', name)
                self.session.wine('schtasks', '/create', '/xml', windows_path(shipped), '/tn', title, '/f')
                with open(shipped, 'rb') as f, open(os.path.join(store, title), 'rb') as g:
                    ours, stored = ET.fromstring(f.read()), ET.fromstring(g.read())
                self.assertEqual(stored.get('version'), ours.get('version'))
                for field in ('Author', 'Description'):
                    self.assertEqual(stored.findtext('%sRegistrationInfo/%s%s' % (TD, TD, field)),
                                     ours.findtext('%sRegistrationInfo/%s%s' % (TD, TD, field)))
                self.assertEqual({k: v for k, v in settings_of(stored).items() if k in settings_of(ours)},
                                 settings_of(ours))
                self.session.wine('schtasks', '/delete', '/tn', title, '/f')
                self.assertFalse(os.path.exists(os.path.join(store, title)))


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
