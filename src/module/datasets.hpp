// NumPy datasets: shape checks and conversion into the core's forms.
#pragma once

#include <cstdint>
#include <vector>

#include "module/numpy.hpp"
#include "module/pyref.hpp"
#include "training/losses.hpp"

namespace tessavo {

// True when x and y fit each other and the model; false with ValueError set.
bool check_shapes(PyArrayObject* x, PyArrayObject* y, const char* x_name, const char* y_name,
                  bool recurrent, int32_t inputs, int32_t outputs);

// Run after check_shapes passed: true when x and y hold at least one series
// (feed-forward: one sample) and, for a recurrent model, at least one step
// per series; false with ValueError set. check_shapes lets empty dimensions
// through, but no loss can be computed on them.
bool check_not_empty(PyArrayObject* x, const char* x_name, const char* y_name, bool recurrent);

// Bytes that array_to_series needs for an array that passed check_shapes:
// the contiguous float64 block, unless the array is read in place.
long double series_bytes(PyArrayObject* array);

// A 2- or 3-dimensional array that passed check_shapes, as a view of one
// contiguous float64 block; false with an exception set (NumPy's when the
// dtype cannot be cast safely to float64, ValueError for any other number
// of dimensions). A C-contiguous native float64 array is read in place,
// others are converted; keep holds the block and must outlive the view.
// The caller's array is never modified.
bool array_to_series(PyArrayObject* array, PyRef& keep, SeriesView& out);

// Any object: an ndarray of 1 or 2 dimensions becomes rows of doubles (a
// 1-dimensional array gives one-value rows). False with TypeError for a
// non-array, ValueError for other dimensions, NumPy's error for a dtype
// that cannot be cast safely.
bool array_to_rows(PyObject* object, std::vector<std::vector<double>>& out);

// One score returned by a user's function: a real number (a NumPy array or
// scalar must hold bool, int or float, not text). False with TypeError set.
bool score_from_object(PyObject* object, double& value);

}  // namespace tessavo
