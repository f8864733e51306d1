"""A first look at tessavo: build models and run them."""
import numpy as np

import tessavo

# A feed-forward model with 2 inputs, 1 output and 2 hidden nodes.
model = tessavo.Model(2, 1, size=5)
print(f"nodes: {model.size}, inputs: {model.inputs}, outputs: {model.outputs}")

x = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float64)
print("predictions of a random network:")
print(model.predict(x))

# A recurrent model carries its state from one step to the next.
rnn = tessavo.Model(1, 1, size=4, recurrent=True)
series = np.ones((3, 1))
print("recurrent outputs for a constant input:", rnn.predict(series).ravel())
rnn.clear()
print("after clear, the same series again:   ", rnn.predict(series).ravel())
