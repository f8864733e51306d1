"""tessavo in one minute: evolve a network that computes XOR.

Checked at the end: every output of the evolved network is within 0.1 of
XOR's.
"""
import numpy as np

import tessavo

tessavo.set_random_seed(1)

x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
y = np.array([[0], [1], [1], [0]], dtype=np.float64)

# 2 inputs, 1 output and 5 hidden nodes, densely connected at random.
model = tessavo.Model(2, 1, size=8)
model.compile(loss="mse", metrics=["mae"], monitors=["size"])
print("loss before training:", model.evaluate(x, y)[0])

# Each epoch is one generation: 200 parents and their children compete in
# tournaments, and the best network of the last generation is kept.
history = model.evolve(x, y, pop_size=200, epochs=150, verbose=2)

print("history keys:", list(history))
print("loss every 30 epochs:", [round(v, 4) for v in history["loss"][::30]])
print("loss after training: ", model.evaluate(x, y)[0])
print("nodes in the trained network:", model.size)
print("predictions:", np.round(model.predict(x).ravel(), 3))

assert np.abs(model.predict(x) - y).max() < 0.1, "the network does not compute XOR"
