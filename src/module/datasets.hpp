// NumPy datasets: shape checks and conversion into the core's forms.
#pragma once

#include <cstdint>
#include <vector>

#include "module/numpy.hpp"
#include "training/losses.hpp"

namespace tessavo {

// True when x and y fit each other and the model; false with ValueError set.
bool check_shapes(PyArrayObject* x, PyArrayObject* y, const char* x_name, const char* y_name,
                  bool recurrent, int32_t inputs, int32_t outputs);

// A 2- or 3-dimensional array that passed check_shapes; false with an
// exception set (NumPy's when the dtype cannot be cast safely to float64).
bool array_to_series(PyArrayObject* array, SeriesSet& out);

// Any object: an ndarray of 1 or 2 dimensions becomes rows of doubles (a
// 1-dimensional array gives one-value rows). False with TypeError for a
// non-array, ValueError for other dimensions, NumPy's error for a dtype
// that cannot be cast safely.
bool array_to_rows(PyObject* object, std::vector<std::vector<double>>& out);

}  // namespace tessavo
