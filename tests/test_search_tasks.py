"""The search benchmarks' physics and scoring, checked against hand computations."""
import importlib
import math
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "search"))
try:
    tasks = importlib.import_module("tasks")
finally:
    sys.path.pop(0)


class Constant:
    """A network whose output never changes."""

    def __init__(self, out):
        self.out = out

    def reset(self):
        pass

    def __call__(self, obs):
        return self.out


def test_first_step_from_rest_matches_the_equations():
    # Everything at rest but the long pole: the accelerations are plain sums.
    f, a1 = 10.0, 0.07
    s1, c1 = math.sin(a1), math.cos(a1)
    eff_f1 = 0.75 * 0.1 * c1 * (-9.8 * s1)
    eff_m1 = 0.1 * (1 - 0.75 * c1 * c1)
    xdd = (f + eff_f1) / (1.0 + eff_m1 + 0.01 * 0.25)
    a1dd = -0.75 * (xdd * c1 - 9.8 * s1) / 0.5
    a2dd = -0.75 * xdd / 0.05
    assert tasks._accel(f, a1, 0.0, 0.0, 0.0) == pytest.approx((xdd, a1dd, a2dd), rel=1e-12)
    # Over 0.01 s the velocities grow by about acceleration x time.
    x, v, a, w, b, u = tasks.rk4_step(tasks.STANDARD_START, f)
    assert v == pytest.approx(0.01 * xdd, rel=0.02)
    assert w == pytest.approx(0.01 * a1dd, rel=0.02)
    assert u == pytest.approx(0.01 * a2dd, rel=0.05)
    assert x == pytest.approx(0.5 * 0.01**2 * xdd, rel=0.02)


@pytest.mark.parametrize(
    "out, actions, sign",
    [
        # No force: the short pole, pushed by the cart's recoil, falls first,
        # after about 0.45 s, the way the long pole leans.
        (0.5, 22, 1.0),
        # Full force: the short pole falls away from the push within 0.1 s
        # (0.75 * 9.8 / 0.05 rad/s^2 of it at first).
        (0.0, 4, 1.0),
        (1.0, 4, -1.0),
    ],
)
def test_poles_fall_in_the_expected_direction_and_time(out, actions, sign):
    assert tasks.balance(Constant(out), 1000, velocities=True) == actions
    s = tasks.STANDARD_START
    for _ in range(actions + 1):
        s = tasks.rk4_step(tasks.rk4_step(s, 10.0 * tasks.to_unit(out)), 10.0 * tasks.to_unit(out))
    assert tasks.failed(s) and math.copysign(1.0, s[4]) == sign


def test_force_mapping_and_generalisation_starts():
    assert [tasks.to_unit(v) for v in (-3.0, 0.0, 0.25, 1.0, 7.0, math.nan)] == [
        -1.0, -1.0, -0.5, 1.0, 1.0, 0.0]
    starts = np.array(tasks.GENERAL_STARTS)
    assert starts.shape == (625, 6) and len({tuple(s) for s in tasks.GENERAL_STARTS}) == 625
    assert starts[:, 0].min() == pytest.approx(-2.16 * 0.9)
    assert starts[:, 3].max() == pytest.approx(math.radians(8.6) * 0.9)


def test_xor_scores_a_known_network():
    xor = tasks.TASKS["xor"]

    class Table:
        def __init__(self, outs):
            self.outs = iter(outs)

        def reset(self):
            pass

        def __call__(self, obs):
            return next(self.outs)

    batch = xor.score([Table([0.0, 1.0, 1.0, 0.0]), Table([0.5] * 4), Table([0.2, 0.8, 0.8, 0.2])])
    assert batch.scores.tolist() == pytest.approx([0.0, 0.25, 0.04])
    assert batch.solver == 0
    assert xor.score([Table([0.5] * 4)]).solver is None


def test_tracker_counts_to_the_solver_and_stops_at_the_cap():
    class Solves:
        name = "toy"

        def score(self, policies):
            scores = np.array(policies, dtype=float)
            hits = np.flatnonzero(scores == 0)
            return tasks.Batch(scores, int(hits[0]) if len(hits) else None)

    tracker = tasks.Tracker(Solves(), cap=100)
    assert tracker.score([3, 2]).tolist() == [3, 2] and tracker.scored == 2
    scores = tracker.score([5, 0, 0, 4])
    assert tracker.solved and tracker.scored == 4 and scores[1] < 0 and scores[3] == tracker.POOR
    capped = tasks.Tracker(Solves(), cap=3)
    assert capped.score([1, 2, 4, 0]).tolist() == [1, 2, 4, tracker.POOR]
    assert capped.done and not capped.solved and capped.scored == 3
