// Python lists of numbers for the results of evaluate and the training
// methods, and the history and logs of a run as Python dicts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/numpy.hpp"
#include "training/driver.hpp"

namespace tessavo {

// New lists of Python floats and ints; null with an exception set.
PyObject* float_list(const std::vector<double>& values);
PyObject* int_list(const std::vector<int32_t>& values);

// Stores list (a new reference, or null after a failure) under key in dict.
bool set_list(PyObject* dict, const std::string& key, PyObject* list);

// The history of a run: "loss", the metrics, "val_loss", the validation
// metrics, in this order, then "size" when monitored. A metric compiled
// twice has one key (its values are equal, both come from one network).
// codes holds one entry per row value (function evolution: one).
PyObject* history_dict(const RunHistory& history, const std::vector<int32_t>& codes,
                       bool has_validation, bool has_monitors);

// The same keys with the values of one epoch, as callbacks receive them.
PyObject* epoch_logs(const RunHistory& history, const std::vector<int32_t>& codes,
                     bool has_validation, bool has_monitors, std::size_t epoch);

// The training keys with the running means of an epoch's batches so far.
PyObject* batch_logs(const std::vector<int32_t>& codes, const std::vector<double>& means,
                     bool has_monitors, int32_t size);

}  // namespace tessavo
