#!/usr/bin/env python3
"""The soak's schedule and its judgement of failures (scripts/soak.py)."""
import os
import random
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import soak  # noqa: E402


class Plan(unittest.TestCase):
    def test_ten_minutes_take_every_kind_on_both_sides_within_the_run(self):
        for seed in range(20):
            p = soak.plan(600, random.Random(seed))
            kinds = {(k, s) for _, k, s in p}
            for k in ("swap", "kill", "term"):
                self.assertTrue({(k, "a"), (k, "b")} <= kinds, (seed, p))
            self.assertTrue({"loss", "reorder", "outage", "dsdel"} <= {k for _, k, _ in p})
            ends = [at + soak.FAULT_COST[k] for at, k, _ in p]
            self.assertTrue(all(a <= b for a, b in zip(ends, [at for at, _, _ in p][1:])), p)
            self.assertLessEqual(max(ends), 600 - 20)

    def test_the_short_run_fits_a_subset_and_a_seed_replays_it(self):
        p = soak.plan(120, random.Random(3))
        self.assertGreaterEqual(len(p), 3)
        self.assertLessEqual(max(at + soak.FAULT_COST[k] for at, k, _ in p), 100)
        self.assertEqual(p, soak.plan(120, random.Random(3)))
        self.assertEqual([k for _, k, _ in soak.plan(120, random.Random(3), "outage")], ["outage"])


class Judgement(unittest.TestCase):
    def test_a_failure_is_excused_only_across_a_fault_window(self):
        windows = [(100.0, 120.0, "appliance killed"), (300.0, 340.0, "WAN outage")]
        cause = lambda start, end: soak.failure_cause({"start": start, "end": end}, windows)
        self.assertEqual(cause(90, 101), "appliance killed")    # alive when the appliance died
        self.assertEqual(cause(119, 200), "appliance killed")   # began before the tunnel reopened
        self.assertEqual(cause(310, 311), "WAN outage")
        self.assertIsNone(cause(121, 130))                      # after recovery: a live pair
        self.assertIsNone(cause(50, 99))

    def test_a_tunnel_reset_is_excused_only_across_a_cut(self):
        windows = [(100.0, 120.0, "appliance killed"), (300.0, 340.0, "WAN outage")]
        line = "Warn : rsp1 maximum retransmits reached, changing mode to server."
        resets = [(105.0, "a", line), (345.0, "b", line), (200.0, "a", line), (201.0, "a", "other")]
        self.assertEqual(soak.unexcused_resets(resets, windows), [(200.0, "a", line)])


if __name__ == "__main__":
    unittest.main()
