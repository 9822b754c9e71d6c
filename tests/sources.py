"""What the tests take from Kelvor's own sources, each fact read from its one place: the resource
ids (res/resource.h), the string table (res/Kelvor.rc) with the registry key it names, and the
hand-over's bound (app/app.h). Imported by the static, package and end-to-end tests."""
import os
import re

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..')


def read(*path):
    with open(os.path.join(ROOT, *path), encoding='utf-8', newline='') as f:
        return f.read().replace('\r\n', '\n')


IDS = {name: int(n) for name, n in re.findall(r'^#define (ID\w+)\s+(\d+)$', read('res', 'resource.h'), re.M)}
# {IDS_NAME: text}, as the resource compiler reads the script's quoted texts.
STRINGS = {name: text.replace('\\\\', '\\') for name, text in
           re.findall(r'^\s+(IDS_\w+),\s*"(.*)"$', read('res', 'Kelvor.rc'), re.M)}
KEY_PATH = STRINGS['IDS_REGISTRY_KEY']  # under HKEY_LOCAL_MACHINE
HAND_OVER_BOUND = int(re.search(r'HandOverBoundMs = (\d+);', read('app', 'app.h')).group(1)) / 1000
# The countdown's controls.
ACTION, SECONDS, COUNT, HINT, MESSAGE = (IDS[n] for n in ('IDC_ACTION_LABEL', 'IDC_SECONDS_LABEL', 'IDC_COUNT',
                                                         'IDC_HINT', 'IDC_MESSAGE'))
