"""Reads a Windows Installer package's tables through msitools' msiinfo, for the scripts that
build the packages and the tests that check them."""
import subprocess


def table(msi, name):
    """An MSI table as {first column: [the other columns]}."""
    out = subprocess.run(['msiinfo', 'export', msi, name], capture_output=True, text=True, check=True).stdout
    # msiinfo's first three lines are the column names, their types and the table's name and key.
    return {row[0]: row[1:] for row in (line.split('\t') for line in out.splitlines()[3:])}


def property_of(msi, name):
    return table(msi, 'Property')[name][0]
