"""Many real Kelvor.exe instances in quick succession in one prefix: the last one wins, nothing is
left running, and no instance ever makes a request that is not its own. Observed per process from
each one's own relay trace."""
import time
import unittest

from wineharness import KelvorCase, emulated

EXIT_FLAGS = {'/ShutDown': 1, '/LogOff': 4}  # the quiet actions below: shutdown, forced log-off
# Twenty instances; ten where every one is a qemu-emulated 32-bit process (about 50 MB and a
# second of start-up each), which the 2-core machine cannot start quickly enough for twenty to
# overlap as intended.
N = 10 if emulated() else 20


class Stress(KelvorCase):

    def wait_for_turns(self, instances, timeout=60):
        """The last to take its turn wins, and turns follow start-up, not the order of starting: an
        emulated start-up varies by more than the gaps here. Waits until every instance has had its
        turn (created its window or ended), so that the next one started is the last to take it."""
        deadline = time.time() + timeout
        while time.time() < deadline and not all(k.calls('user32.CreateWindowExA') or not k.running()
                                                 for k in instances):
            time.sleep(0.2)

    def wait_until_alone(self, instances, timeout=60):
        """Waits until every instance but the last has ended; returns how many are still running."""
        deadline = time.time() + timeout
        while time.time() < deadline and any(k.running() for k in instances[:-1]):
            time.sleep(0.2)
        return sum(k.running() for k in instances[:-1])

    def test_many_instances_the_last_one_wins(self):
        instances = []
        for i in range(N - 1):
            instances.append(self.kelvor('/Time:', '60'))
            time.sleep(0.25)
        self.wait_for_turns(instances)
        instances.append(self.kelvor('/Time:', '60'))
        self.assertEqual(self.wait_until_alone(instances), 0, 'earlier instances still running')
        last = instances[-1]
        self.assertTrue(last.running())
        d = self.dialog()
        self.assertEqual(self.session.windows(), (1, 1))
        for k in instances[:-1]:
            self.assertEqual(k.exit_code(), 0, k.tail())
            self.assertEqual(k.exit_requests(), [])
        self.press('ok')
        self.assertEqual(last.wait(), 0)
        self.assertEqual(last.exit_requests(), [1])
        self.assertEqual(self.session.kelvor_processes(), [])
        print('\n%d instances: %d exit request(s), dialog of pid %s, %d process(es) left'
              % (N, sum(len(k.exit_requests()) for k in instances), d['pid'], len(self.session.kelvor_processes())))

    def test_instances_started_together_still_leave_one(self):
        # No pause between them: which one takes the last turn is up to the system; one must remain.
        instances = [self.kelvor('/Time:', '60') for _ in range(N)]
        self.dialog()
        deadline = time.time() + 60
        while time.time() < deadline and sum(k.running() for k in instances) > 1:
            time.sleep(0.2)
        survivors = [k for k in instances if k.running()]
        self.assertEqual(len(survivors), 1)
        self.assertEqual(self.session.windows(), (1, 1))
        self.press('cancel')
        self.assertEqual(survivors[0].wait(), 0)
        self.assertEqual(sum(len(k.exit_requests()) for k in instances), 0)
        self.assertEqual(self.session.kelvor_processes(), [])

    def test_quiet_instances_are_replaced_in_their_pause_or_make_their_own_request(self):
        # Failing exit calls keep the session alive: a request then shows its box until replaced.
        with self.session.without_wineboot():
            instances, actions = [], []
            for i in range(N):
                action = ['/ShutDown', '/LogOff'][i % 2]
                args = ['/Quiet', action] + (['/Force'] if action == '/LogOff' else [])
                if i == N - 1:
                    self.wait_for_turns(instances)
                instances.append(self.kelvor(*args))
                actions.append(action)
                time.sleep(1.6 if i % 5 == 4 else 0.3)  # now and then long enough to act
            last = instances[-1]
            self.assertEqual(self.wait_until_alone(instances), 0, 'earlier instances still running')
            # The last one acts (its exit call fails here) and shows its box; end it with OK.
            self.assertEqual(self.probe('box-ok', 20000)[0], 0)
            self.assertEqual(last.wait(), 0)
            requests, replaced_in_pause = 0, 0
            for k, action in zip(instances, actions):
                made = k.exit_requests()
                self.assertLessEqual(len(made), 1)
                self.assertIn(made, ([], [EXIT_FLAGS[action]]))
                self.assertEqual(k.exit_code(), 0, k.tail())
                requests += len(made)
                replaced_in_pause += not made
            self.assertEqual(last.exit_requests(), [EXIT_FLAGS[actions[-1]]])
            self.assertEqual(self.session.kelvor_processes(), [])
            print('\n%d quiet instances: %d made their own request, %d replaced in their pause, '
                  '%d process(es) left' % (N, requests, replaced_in_pause, len(self.session.kelvor_processes())))


if __name__ == '__main__':
    unittest.main()
