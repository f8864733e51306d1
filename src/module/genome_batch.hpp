// tessavo.GenomeBatch: a list of Genomes that also predicts for all of them
// in one call, as one network per genome side by side.
#pragma once

#include <cstdint>

#include "module/numpy.hpp"

namespace tessavo {

extern PyTypeObject GenomeBatchType;

// Readies the type; false with an exception set.
bool ready_genome_batch_type();

// A batch of count empty slots, to be filled with PyList_SET_ITEM, for
// epoch (negative: none). Null with an exception set.
PyObject* make_genome_batch(Py_ssize_t count, int64_t epoch);

}  // namespace tessavo
