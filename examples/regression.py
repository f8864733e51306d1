"""Fit a noisy one-dimensional function, in batches, watching a validation set.

Checked at the end: the validation loss (mean squared error) is below 0.02,
eight times what the noise alone gives (0.0025).
"""
import numpy as np
import numpy.typing as npt

import tessavo

Array = npt.NDArray[np.float64]

rng = np.random.default_rng(0)
tessavo.set_random_seed(6)


def target(x: Array) -> Array:
    return 0.7 * np.sin(1.5 * x) + 0.1 * x


def dataset(rows: int) -> tuple[Array, Array]:
    x = rng.uniform(-2, 2, size=(rows, 1))
    y = target(x) + rng.normal(0, 0.05, size=(rows, 1))
    return x, y


x_train, y_train = dataset(400)
x_val, y_val = dataset(100)

model = tessavo.Model(1, 1, size=6)
model.compile(loss="mse", metrics=["mae"], monitors=["size"])

# Four batches of 100 rows per epoch: four generations, each scored on one
# batch. Training values are batch averages (marked "*"); the validation
# values are the best network's on the whole validation set.
history = model.evolve(
    x_train, y_train,
    pop_size=100, batch_size=100, epochs=100,
    validation_data=(x_val, y_val), verbose=1,
)

print("final val_loss:", history["val_loss"][-1], "(the noise alone gives 0.0025)")
print("evaluate on validation data [mse, mae]:", model.evaluate(x_val, y_val))
grid = np.linspace(-2, 2, 9).reshape(-1, 1)
for xi, yi, ti in zip(grid.ravel(), model.predict(grid).ravel(), target(grid).ravel()):
    print(f"  f({xi:+.1f}) = {yi:+.3f}   target {ti:+.3f}")

assert history["val_loss"][-1] < 0.02, "the fit is not close to the noise's own loss"
