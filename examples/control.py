"""Balance a pole on a cart with func_evolve.

No dataset here: each genome of the population drives the cart through a few
episodes, and its score (lower is better) is the share of time steps it failed
to keep the pole up. The cart-pole dynamics are written out below in NumPy.

Checked at the end: over 16 starts it never saw, the evolved controller keeps
the pole up for at least 90% of the steps on average. With
TESSAVO_EXAMPLE_QUICK=1 episodes last 100 steps instead of 500, and the run
is shorter.
"""
import os

import numpy as np
import numpy.typing as npt

import tessavo

Array = npt.NDArray[np.float64]

GRAVITY, CART_MASS, POLE_MASS, HALF_LENGTH = 9.8, 1.0, 0.1, 0.5
FORCE, DT = 10.0, 0.02
# Small caps for the test that runs every example.
QUICK = os.environ.get("TESSAVO_EXAMPLE_QUICK") == "1"
MAX_STEPS = 100 if QUICK else 500
X_LIMIT, ANGLE_LIMIT = 2.4, 12 * np.pi / 180

rng = np.random.default_rng(7)
# The same starting states for every genome, so that scores are comparable.
STARTS = rng.uniform(-0.15, 0.15, size=(8, 4))


def step(state: Array, force: Array) -> Array:
    """One Euler step of the cart-pole for a batch of states."""
    x, x_dot, theta, theta_dot = state.T
    total = CART_MASS + POLE_MASS
    cos, sin = np.cos(theta), np.sin(theta)
    temp = (force + POLE_MASS * HALF_LENGTH * theta_dot**2 * sin) / total
    theta_acc = (GRAVITY * sin - cos * temp) / (
        HALF_LENGTH * (4.0 / 3.0 - POLE_MASS * cos**2 / total)
    )
    x_acc = temp - POLE_MASS * HALF_LENGTH * theta_acc * cos / total
    return np.stack(
        [x + DT * x_dot, x_dot + DT * x_acc, theta + DT * theta_dot, theta_dot + DT * theta_acc],
        axis=1,
    )


def episode_steps(genome: tessavo.Genome | tessavo.Model, starts: Array = STARTS) -> Array:
    """Steps survived in each episode, all episodes run side by side."""
    state = starts.copy()
    alive = np.ones(len(state), dtype=bool)
    survived = np.zeros(len(state))
    for _ in range(MAX_STEPS):
        # Inputs scaled to about [-1, 1]; one output in (0, 1) through the
        # sigmoid or any real value, turned into a push left or right.
        out = genome.predict(state / [X_LIMIT, 2.0, ANGLE_LIMIT, 2.0])[:, 0]
        force = np.where(out > 0.5, FORCE, -FORCE)
        state = np.where(alive[:, None], step(state, force), state)
        alive &= (np.abs(state[:, 0]) < X_LIMIT) & (np.abs(state[:, 2]) < ANGLE_LIMIT)
        survived += alive
        if not alive.any():
            break
    return survived


def score(genome: tessavo.Genome | tessavo.Model) -> float:
    """The share of steps lost, 0 for a perfect balance."""
    return 1.0 - float(episode_steps(genome).mean()) / MAX_STEPS


def train_func(genomes: list[tessavo.Genome]) -> Array:
    return np.array([score(g) for g in genomes])


def validation_func(genome: tessavo.Genome) -> float:
    unseen = np.random.default_rng(99).uniform(-0.15, 0.15, size=(16, 4))
    return 1.0 - float(episode_steps(genome, unseen).mean()) / MAX_STEPS


# Other examples import the dynamics and the score from here.
if __name__ == "__main__":
    tessavo.set_random_seed(0)
    model = tessavo.Model(4, 1, size=7)
    model.compile(monitors=["size"])
    history = model.func_evolve(
        train_func, pop_size=30, epochs=10 if QUICK else 30, validation_func=validation_func,
        verbose=1,
    )

    steps = episode_steps(model, np.random.default_rng(5).uniform(-0.15, 0.15, size=(16, 4)))
    print(f"best score per epoch: {np.round(history['loss'], 3).tolist()}")
    print(f"the evolved controller balances the pole for {steps.mean():.0f} of {MAX_STEPS} "
          f"steps on average over 16 new starts")
    assert steps.mean() >= 0.9 * MAX_STEPS, "the controller does not keep the pole up"
