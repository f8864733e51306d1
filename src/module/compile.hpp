// Model.compile: stores the optimizer and the loss, metric and monitor codes.
#pragma once

#include <cstdint>

#include "module/numpy.hpp"

namespace tessavo {

// Monitor names; the index is the code stored in a model's monitors.
inline constexpr int32_t monitor_count = 1;
extern const char* const monitor_names[monitor_count];

PyObject* model_compile(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tessavo
