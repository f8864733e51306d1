// Python lists of numbers for the results of evaluate and the training methods.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/numpy.hpp"

namespace tessavo {

// New lists of Python floats and ints; null with an exception set.
PyObject* float_list(const std::vector<double>& values);
PyObject* int_list(const std::vector<int32_t>& values);

// Stores list (a new reference, or null after a failure) under key in dict.
bool set_list(PyObject* dict, const std::string& key, PyObject* list);

}  // namespace tessavo
