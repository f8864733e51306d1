"""Search benchmark tasks: XOR, double pole with and without velocities, CartPole-v1.

Every task scores a batch of networks at once, in order, and says which of
them (if any) is the first to solve it. A network is anything with a
``reset()`` and a call taking the observation (a tuple of floats) and returning
the first output: ``TessavoPolicy`` wraps a ``tessavo.Genome`` and
``NeatPolicy`` a neat-python network, so both libraries meet the same code.

Scores are lower-is-better (tessavo's convention); neat-python takes their
negation as fitness.

For tessavo, ``Tracker`` gives a ``train_func`` for ``Model.func_evolve`` that
counts every genome it is handed and a callback that stops the run at the
first solver or at the cap; ``run_tessavo`` puts them together::

    import tasks
    result = tasks.run_tessavo(tasks.TASKS["dpv"], seed=1, cap=20000, optimizer="beta")
    print(result)   # {'scored': ..., 'solved': True, 'cpu': ..., ...}

The cart-pole simulations are scalar Python on purpose: for one state it beats
NumPy many times over, and a failing network ends its episode at once.
"""
from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import Any, Callable, Protocol, Sequence

import numpy as np

# -- networks ------------------------------------------------------------------------


class Policy(Protocol):
    def reset(self) -> None: ...
    def __call__(self, obs: Sequence[float]) -> float: ...


class TessavoPolicy:
    """A tessavo Genome (or Model) driven one observation at a time."""

    __slots__ = ("genome", "_x", "_recurrent")

    def __init__(self, genome: Any) -> None:
        self.genome = genome
        self._x = np.zeros(genome.inputs)
        self._recurrent = bool(genome.recurrent)

    def reset(self) -> None:
        if self._recurrent:
            self.genome.clear()

    def __call__(self, obs: Sequence[float]) -> float:
        x = self._x
        x[:] = obs
        return float(self.genome.predict(x)[0])


class NeatPolicy:
    """A neat-python FeedForwardNetwork or RecurrentNetwork."""

    __slots__ = ("net",)

    def __init__(self, net: Any) -> None:
        self.net = net

    def reset(self) -> None:
        reset = getattr(self.net, "reset", None)
        if reset is not None:
            reset()

    def __call__(self, obs: Sequence[float]) -> float:
        return float(self.net.activate(obs)[0])


def to_unit(out: float) -> float:
    """The output as a force in [-1, 1]: [0, 1] maps linearly, the rest clips.

    tessavo draws output activations at random (sigmoid, tanh, relu, linear):
    reading [0, 1] keeps the full range of force reachable from every one.
    """
    if out != out:  # NaN pushes nowhere
        return 0.0
    return 2.0 * min(max(out, 0.0), 1.0) - 1.0


# The score of a network left unscored once the run has its answer.
POOR = 1e30


@dataclass
class Batch:
    """Scores of a batch, the index of its first solver (or None), work done."""

    scores: np.ndarray
    solver: int | None
    steps: int = 0  # simulation or environment steps spent on this batch


# -- XOR -----------------------------------------------------------------------------

XOR_X = np.array([[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [1.0, 1.0]])
XOR_Y = np.array([0.0, 1.0, 1.0, 0.0])


class Xor:
    name = "xor"
    title = "XOR"
    inputs, outputs, recurrent, size = 2, 1, False, 5
    pop_size = 50
    threshold = 0.025

    def mse(self, policy: Any) -> float:
        if isinstance(policy, TessavoPolicy):
            out = policy.genome.predict(XOR_X)[:, 0]
        else:
            out = np.array([policy(row) for row in XOR_X.tolist()])
        err = float(np.mean((out - XOR_Y) ** 2))
        return err if err == err else math.inf

    def score(self, policies: Sequence[Any]) -> Batch:
        scores = np.array([self.mse(p) for p in policies])
        hits = np.flatnonzero(scores <= self.threshold)
        return Batch(scores, int(hits[0]) if len(hits) else None)


# -- double pole balancing (Wieland's equations) ---------------------------------------

GRAVITY = -9.8
CART_MASS = 1.0
MASS_1, HALF_1 = 0.1, 0.5
MASS_2, HALF_2 = 0.01, 0.05
POLE_FRICTION = 2e-6
FORCE = 10.0
TAU = 0.01
TRACK = 2.4
FAIL_ANGLE = 0.628329
START_ANGLE = 0.07


def _accel(f: float, a1: float, w1: float, a2: float, w2: float) -> tuple[float, float, float]:
    """Cart and pole accelerations for force f; pole i at angle ai, velocity wi."""
    s1, c1, s2, c2 = math.sin(a1), math.cos(a1), math.sin(a2), math.cos(a2)
    fr1 = POLE_FRICTION * w1 / (MASS_1 * HALF_1)
    fr2 = POLE_FRICTION * w2 / (MASS_2 * HALF_2)
    eff_f1 = MASS_1 * HALF_1 * w1 * w1 * s1 + 0.75 * MASS_1 * c1 * (fr1 + GRAVITY * s1)
    eff_f2 = MASS_2 * HALF_2 * w2 * w2 * s2 + 0.75 * MASS_2 * c2 * (fr2 + GRAVITY * s2)
    eff_m1 = MASS_1 * (1.0 - 0.75 * c1 * c1)
    eff_m2 = MASS_2 * (1.0 - 0.75 * c2 * c2)
    xdd = (f + eff_f1 + eff_f2) / (CART_MASS + eff_m1 + eff_m2)
    a1dd = -0.75 * (xdd * c1 + GRAVITY * s1 + fr1) / HALF_1
    a2dd = -0.75 * (xdd * c2 + GRAVITY * s2 + fr2) / HALF_2
    return xdd, a1dd, a2dd


def rk4_step(state: tuple[float, ...], f: float) -> tuple[float, ...]:
    """One 4th-order Runge-Kutta step of TAU seconds of (x, x', a1, a1', a2, a2')."""
    x, v, a1, w1, a2, w2 = state
    h, h2, h6 = TAU, TAU / 2.0, TAU / 6.0
    p1, q1, r1 = _accel(f, a1, w1, a2, w2)
    v_b, w1_b, w2_b = v + h2 * p1, w1 + h2 * q1, w2 + h2 * r1
    p2, q2, r2 = _accel(f, a1 + h2 * w1, w1_b, a2 + h2 * w2, w2_b)
    v_c, w1_c, w2_c = v + h2 * p2, w1 + h2 * q2, w2 + h2 * r2
    p3, q3, r3 = _accel(f, a1 + h2 * w1_b, w1_c, a2 + h2 * w2_b, w2_c)
    v_d, w1_d, w2_d = v + h * p3, w1 + h * q3, w2 + h * r3
    p4, q4, r4 = _accel(f, a1 + h * w1_c, w1_d, a2 + h * w2_c, w2_d)
    return (
        x + h6 * (v + 2.0 * v_b + 2.0 * v_c + v_d),
        v + h6 * (p1 + 2.0 * p2 + 2.0 * p3 + p4),
        a1 + h6 * (w1 + 2.0 * w1_b + 2.0 * w1_c + w1_d),
        w1 + h6 * (q1 + 2.0 * q2 + 2.0 * q3 + q4),
        a2 + h6 * (w2 + 2.0 * w2_b + 2.0 * w2_c + w2_d),
        w2 + h6 * (r1 + 2.0 * r2 + 2.0 * r3 + r4),
    )


def failed(state: tuple[float, ...]) -> bool:
    return (
        abs(state[0]) > TRACK
        or abs(state[2]) > FAIL_ANGLE
        or abs(state[4]) > FAIL_ANGLE
    )


STANDARD_START = (0.0, 0.0, START_ANGLE, 0.0, 0.0, 0.0)


def balance(
    policy: Any,
    actions: int,
    velocities: bool,
    start: tuple[float, ...] = STANDARD_START,
    trace: list[float] | None = None,
) -> int:
    """Actions balanced (at most `actions`) from `start`; the network acts every 2 steps.

    With `trace`, |x| + |x'| + |a1| + |a1'| after each balanced action is appended.
    """
    policy.reset()
    s = start
    for t in range(actions):
        if velocities:
            obs = (s[0] / 4.8, s[1] / 2.0, s[2] / 0.52, s[3] / 2.0, s[4] / 0.52, s[5] / 2.0)
        else:
            obs = (s[0] / 4.8, s[2] / 0.52, s[4] / 0.52)
        f = FORCE * to_unit(policy(obs))
        s = rk4_step(rk4_step(s, f), f)
        if failed(s):
            return t
        if trace is not None:
            trace.append(abs(s[0]) + abs(s[1]) + abs(s[2]) + abs(s[3]))
    return actions


class DoublePole:
    """Double pole with velocities: score is the share of 100,000 actions lost."""

    name = "dpv"
    title = "double pole, velocities"
    inputs, outputs, recurrent, size = 6, 1, False, 9
    pop_size = 150
    actions = 100_000

    def score(self, policies: Sequence[Any]) -> Batch:
        scores = np.empty(len(policies))
        solver, steps = None, 0
        for i, p in enumerate(policies):
            t = balance(p, self.actions, velocities=True)
            steps += 2 * t + 2
            scores[i] = 1.0 - t / self.actions
            if t == self.actions:
                solver = i
                scores[i + 1:] = POOR  # not simulated: the run ends here
                break
        return Batch(scores, solver, steps)


# Generalisation starts: x, x', a1, a1' each at 0.05, 0.25, 0.5, 0.75, 0.95 of their range.
_FRACTIONS = (0.05, 0.25, 0.5, 0.75, 0.95)
_RANGES = (2.16, 1.35, math.radians(3.6), math.radians(8.6))
GENERAL_STARTS = [
    (x, v, a, w, 0.0, 0.0)
    for x in (-_RANGES[0] + 2 * _RANGES[0] * k for k in _FRACTIONS)
    for v in (-_RANGES[1] + 2 * _RANGES[1] * k for k in _FRACTIONS)
    for a in (-_RANGES[2] + 2 * _RANGES[2] * k for k in _FRACTIONS)
    for w in (-_RANGES[3] + 2 * _RANGES[3] * k for k in _FRACTIONS)
]


def gruau_fitness(policy: Any) -> tuple[float, int]:
    """Gruau's fitness over 1,000 actions from the standard start (higher is better)."""
    trace: list[float] = []
    t = balance(policy, 1000, velocities=False, trace=trace)
    f2 = 0.0
    if t >= 100:
        f2 = 0.75 / max(sum(trace[-100:]), 1e-12)
    return 0.1 * t / 1000.0 + 0.9 * f2, t


def generalises(policy: Any, needed: int = 200) -> tuple[bool, int]:
    """Whether `needed` of the 625 starts balance 1,000 actions; stops once decided."""
    good = steps = 0
    for k, start in enumerate(GENERAL_STARTS):
        t = balance(policy, 1000, velocities=False, start=start)
        steps += 2 * t + 2
        good += t == 1000
        if good >= needed:
            return True, steps
        if good + len(GENERAL_STARTS) - k - 1 < needed:
            break
    return False, steps


class DoublePoleNoVelocities:
    """Double pole without velocities: a recurrent network sees x, a1, a2 only.

    Scores are minus Gruau's fitness. The best network of each batch (a
    generation) is the candidate: it solves the task when it balances 100,000
    actions from the standard start and 1,000 from at least 200 of the 625
    generalisation starts.
    """

    name = "dpnv"
    title = "double pole, no velocities"
    inputs, outputs, recurrent, size = 3, 1, True, 7
    pop_size = 150
    actions = 100_000

    def score(self, policies: Sequence[Any]) -> Batch:
        scores = np.empty(len(policies))
        steps = 0
        for i, p in enumerate(policies):
            fit, t = gruau_fitness(p)
            scores[i] = -fit
            steps += 2 * t + 2
        solver = None
        if len(policies):
            best = int(np.argmin(scores))
            t = balance(policies[best], self.actions, velocities=False)
            steps += 2 * t + 2
            if t == self.actions:
                ok, more = generalises(policies[best])
                steps += more
                if ok:
                    solver = best
        return Batch(scores, solver, steps)


# -- Gymnasium CartPole-v1 -----------------------------------------------------------


class CartPole:
    """CartPole-v1: score is 500 minus the mean return over the training episodes.

    A network whose training episodes all reach 500 is tested on 100 episodes
    with other fixed seeds: it solves the task when their mean return is >= 475.
    `steps` counts every environment step, tests included.
    """

    name = "cartpole"
    title = "CartPole-v1"
    inputs, outputs, recurrent, size = 4, 1, False, 6
    pop_size = 50
    max_steps = 500
    train_seeds = tuple(range(5))
    test_seeds = tuple(range(1000, 1100))
    threshold = 475.0

    def __init__(self) -> None:
        self._env: Any = None

    def env(self) -> Any:
        if self._env is None:
            import gymnasium

            # The bare environment: the wrappers' checks cost more than the physics.
            self._env = gymnasium.make("CartPole-v1").unwrapped
        return self._env

    def episode(self, policy: Any, seed: int) -> int:
        env = self.env()
        obs, _ = env.reset(seed=seed)
        policy.reset()
        for t in range(self.max_steps):
            action = 1 if policy(obs.tolist()) > 0.5 else 0
            obs, _, terminated, _, _ = env.step(action)
            if terminated:
                return t + 1
        return self.max_steps

    def score(self, policies: Sequence[Any]) -> Batch:
        scores = np.empty(len(policies))
        solver, steps = None, 0
        for i, p in enumerate(policies):
            returns = [self.episode(p, s) for s in self.train_seeds]
            steps += sum(returns)
            scores[i] = self.max_steps - sum(returns) / len(returns)
            if solver is None and min(returns) == self.max_steps:
                test = [self.episode(p, s) for s in self.test_seeds]
                steps += sum(test)
                if sum(test) / len(test) >= self.threshold:
                    solver = i
                    scores[i + 1:] = POOR  # not simulated: the run ends here
                    break
        return Batch(scores, solver, steps)


TASKS: dict[str, Any] = {
    t.name: t for t in (Xor(), DoublePole(), DoublePoleNoVelocities(), CartPole())
}


# -- counting for tessavo ------------------------------------------------------------


class Tracker:
    """Counts the networks scored until the first solver or the cap.

    Every genome passed to train_func counts, in order, parents scored again
    included; counting stops at the solver. Once solved or capped, the rest of
    the batch gets a poor score without being simulated, and `callback` ends
    the run after that epoch.
    """

    POOR = POOR

    def __init__(self, task: Any, cap: int) -> None:
        self.task, self.cap = task, cap
        self.scored = 0
        self.steps = 0
        self.solved = False
        self.generations = 0

    @property
    def done(self) -> bool:
        return self.solved or self.scored >= self.cap

    def score(self, policies: Sequence[Any]) -> np.ndarray:
        scores = np.full(len(policies), self.POOR)
        if self.done:
            return scores
        self.generations += 1
        room = min(len(policies), self.cap - self.scored)
        batch = self.task.score(policies[:room])
        scores[:room] = batch.scores
        self.steps += batch.steps
        if batch.solver is not None:
            self.solved = True
            self.scored += batch.solver + 1
            scores[batch.solver + 1:] = POOR
            # The solver must also be the best of the batch, so the model keeps it.
            scores[batch.solver] = min(float(batch.scores.min()), 0.0) - 1.0
        else:
            self.scored += room
        return scores

    def train_func(self, genomes: list[Any]) -> np.ndarray:
        return self.score([TessavoPolicy(g) for g in genomes])

    def callback(self) -> Any:
        from tessavo.callbacks import Callback

        tracker = self

        class _Stop(Callback):
            def on_epoch_end(self, epoch: int, logs: Any = None) -> None:
                if tracker.done:
                    self.model.stop_training = True

        return _Stop()

    def result(self, cpu: float) -> dict[str, Any]:
        return {
            "scored": self.scored,
            "solved": self.solved,
            "cpu": cpu,
            "steps": self.steps,
            "generations": self.generations,
        }


def cpu_time() -> float:
    """CPU seconds of this process and its waited-for children."""
    t = __import__("os").times()
    return t.user + t.system + t.children_user + t.children_system


def run_tessavo(
    task: Any,
    seed: int,
    cap: int,
    optimizer: Any = "alpha",
    pop_size: int | None = None,
    size: int | None = None,
    make_model: Callable[[], Any] | None = None,
) -> dict[str, Any]:
    """One seeded func_evolve run until the first solver or `cap` networks."""
    import tessavo

    tessavo.set_random_seed(seed)
    if make_model is None:
        model = tessavo.Model(task.inputs, task.outputs, size=size or task.size,
                              recurrent=task.recurrent)
        model.compile(optimizer=optimizer)
    else:
        model = make_model()
    pop = pop_size or task.pop_size
    tracker = Tracker(task, cap)
    start = cpu_time()
    # Epochs are a bound only: the callback ends the run at the solver or the cap.
    model.func_evolve(tracker.train_func, pop_size=pop, epochs=cap + 1, verbose=0,
                      callbacks=[tracker.callback()])
    return tracker.result(cpu_time() - start)


if __name__ == "__main__":
    import sys

    name = sys.argv[1] if len(sys.argv) > 1 else "xor"
    print(run_tessavo(TASKS[name], seed=int(sys.argv[2]) if len(sys.argv) > 2 else 1,
                      cap=int(sys.argv[3]) if len(sys.argv) > 3 else 5000))
