// Reading NumPy arrays as float64, whatever their dtype and memory layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "module/numpy.hpp"
#include "module/pyref.hpp"

namespace tessavo {

// An ndarray itself (its dtype is checked by the safe cast that reads it),
// or NumPy's conversion of an array-like: lists, tuples, pandas objects,
// anything with __array__. Null with ValueError for ragged input and
// TypeError for strings, objects or complex numbers, which no safe cast
// makes float64.
PyRef as_array(PyObject* object, const char* name);

// As as_array, for targets: with one output, a 1-D y of n values is read as
// (n, 1), the shape every loss expects.
PyRef as_targets(PyObject* object, const char* name, int32_t outputs);

// The array itself when it already holds native float64, otherwise a new
// float64 array converted by NumPy's safe casting; null with NumPy's error.
PyRef as_float64(PyArrayObject* array);

// Bytes of the float64 copies that as_contiguous_float64 makes of the array
// (0 when it reads the array itself).
long double float64_copy_bytes(PyArrayObject* array);
// As as_float64, and C-contiguous and aligned: a native float64 array in
// that layout is returned itself, to be read in place; others are copied.
PyRef as_contiguous_float64(PyArrayObject* array);

// A float64 array read through its strides.
class DoubleView {
public:
    explicit DoubleView(PyArrayObject* array)
        : data_(static_cast<const char*>(PyArray_DATA(array))), strides_(PyArray_STRIDES(array)) {}
    double at(npy_intp i) const { return load(data_ + i * strides_[0]); }
    double at(npy_intp i, npy_intp j) const {
        return load(data_ + i * strides_[0] + j * strides_[1]);
    }
    double at(npy_intp i, npy_intp j, npy_intp k) const {
        return load(data_ + i * strides_[0] + j * strides_[1] + k * strides_[2]);
    }

private:
    // memcpy: the data need not be aligned.
    static double load(const char* p) {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    const char* data_;
    const npy_intp* strides_;
};

}  // namespace tessavo
