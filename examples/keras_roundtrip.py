"""Move a tessavo model to Keras, fine-tune it there by gradient descent, bring it back.

Needs Keras 3 and a backend, for instance: pip install ".[test]" (Keras and JAX on the CPU).

Checked at the end: the exported model and the model brought back predict
what the model they came from predicts, to within Keras's float32 precision,
and fine-tuning in Keras lowered the test error. With
TESSAVO_EXAMPLE_QUICK=1 both trainings are shorter.
"""
import os

# Keras reads its backend when it is first imported; JAX unless told otherwise.
os.environ.setdefault("KERAS_BACKEND", "jax")

import keras
import numpy as np

import tessavo

QUICK = os.environ.get("TESSAVO_EXAMPLE_QUICK") == "1"
tessavo.set_random_seed(0)
keras.utils.set_random_seed(0)  # pyright: ignore[reportUnknownMemberType]
rng = np.random.default_rng(0)
x_train = rng.uniform(-1.0, 1.0, size=(512, 2))
y_train = np.tanh(1.5 * x_train[:, :1] - x_train[:, 1:]) * 0.5 + 0.5
x_test = rng.uniform(-1.0, 1.0, size=(128, 2))
y_test = np.tanh(1.5 * x_test[:, :1] - x_test[:, 1:]) * 0.5 + 0.5

# 2 inputs, 1 output, 4 hidden nodes, trained by neuro-evolution first.
model = tessavo.Model(2, 1, size=7)
model.compile(loss="mse", metrics=["mae"])
history = model.evolve(x_train, y_train, pop_size=50, epochs=50 if QUICK else 200,
                       verbose=0)
print(f"evolved: loss {history['loss'][0]:.2e} -> {history['loss'][-1]:.2e}")
evolved_mse, evolved_mae = model.evaluate(x_test, y_test)
print(f"tessavo model        mse {evolved_mse:.2e}  mae {evolved_mae:.2e}")

# Export: one single-unit Dense layer per node, named node0 ... node6.
keras_model = model.to_keras()
export_gap = np.abs(keras_model.predict(x_test, verbose=0) - model.predict(x_test)).max()
print(f"exported to Keras    {len(keras_model.layers)} layers, "
      f"largest difference {export_gap:.1e}")

# Fine-tune the weights and biases in Keras. The input node layers only route
# the inputs and are exported as not trainable.
keras_model.compile(optimizer=keras.optimizers.Adam(learning_rate=0.02), loss="mse")
keras_model.fit(x_train, y_train, epochs=20 if QUICK else 100, batch_size=32,
                verbose=0)
keras_mse = keras_model.evaluate(x_test, y_test, verbose=0)
print(f"fine-tuned in Keras  mse {keras_mse:.2e}")

# Import: same nodes and links, the weights Keras trained. A new model starts
# uncompiled.
tuned = tessavo.from_keras(keras_model)
tuned.compile(loss="mse", metrics=["mae"])
print("imported back        mse %.2e  mae %.2e" % tuple(tuned.evaluate(x_test, y_test)))
gap = np.abs(keras_model.predict(x_test, verbose=0) - tuned.predict(x_test)).max()
print(f"Keras and tessavo agree to {gap:.1e} (Keras computes in float32)")

assert export_gap < 1e-5 and gap < 1e-5, "Keras and tessavo disagree"
assert keras_mse < evolved_mse, "fine-tuning in Keras did not lower the test error"
