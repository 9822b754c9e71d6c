"""The administrator's guide against what ships: every preset it names exists, and a preset it
shows in full is shown exactly as the file in registry/ holds it."""
import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..')


def read(*path):
    with open(os.path.join(ROOT, *path), encoding='utf-8', newline='') as f:
        return f.read().replace('\r\n', '\n')


class Guide(unittest.TestCase):

    def setUp(self):
        self.guide = read('docs', 'deploying.md')
        self.shipped = sorted(n for n in os.listdir(os.path.join(ROOT, 'registry')) if n.endswith('.reg'))

    def test_every_named_preset_ships(self):
        named = set(re.findall(r'([\w-]+\.reg)\b', self.guide))
        self.assertEqual(named - set(self.shipped), set())

    def test_shown_presets_are_the_shipped_files(self):
        shown = re.findall(r'`registry/([\w.-]+\.reg)`\)?:\s*\n+```reg\n(.*?)```', self.guide, re.S)
        self.assertTrue(shown, 'the guide shows no preset file')
        for name, text in shown:
            self.assertEqual(text, read('registry', name), name)


if __name__ == '__main__':
    unittest.main()
