// tessavo.set_random_seed.
#pragma once

#include <cstdint>
#include <optional>

#include "module/numpy.hpp"

namespace tessavo {

PyObject* module_set_random_seed(PyObject* module, PyObject* seed);

// A seed argument: None (out stays empty) or an int from 0 to 2**64 - 1.
// False with a Python exception set otherwise.
bool parse_seed(PyObject* seed, std::optional<uint64_t>& out);

}  // namespace tessavo
