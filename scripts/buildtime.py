"""The one time the release's files are stamped and signed with, so that the same source gives the
same bytes wherever and whenever it is built."""
import os
import subprocess

# 1980-01-01 00:00 UTC, the earliest time a zip entry can hold (the installer package's cabinet
# keeps the same kind of time).
EARLIEST = 315532800


def build_time(source):
    """SOURCE_DATE_EPOCH, else the time of the last commit in `source`, never before EARLIEST."""
    if os.environ.get('SOURCE_DATE_EPOCH'):
        return max(int(os.environ['SOURCE_DATE_EPOCH']), EARLIEST)
    r = subprocess.run(['git', '-C', source, 'log', '-1', '--format=%ct'], capture_output=True, text=True)
    return max(int(r.stdout.strip()), EARLIEST) if r.returncode == 0 and r.stdout.strip() else EARLIEST
