#include "module/genome_batch.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/arrays.hpp"
#include "module/genome.hpp"
#include "module/model.hpp"
#include "module/pyref.hpp"
#include "network/batch.hpp"
#include "network/memory.hpp"
#include "training/workers.hpp"

namespace tessavo {

namespace {

// The plan of the genomes a batch held when it last predicted. It keeps
// them alive, so that comparing addresses tells whether the list changed.
struct BatchCache {
    std::vector<PyObject*> members;
    std::vector<uint8_t> recurrent;
    BatchPlan plan;
    std::vector<std::size_t> offsets;
    std::size_t cells = 0;

    BatchCache() = default;
    BatchCache(const BatchCache&) = delete;
    BatchCache& operator=(const BatchCache&) = delete;
    ~BatchCache() {
        for (PyObject* member : members) Py_DECREF(member);
    }
};

struct GenomeBatchObject {
    PyListObject list;
    int64_t epoch;  // negative: none
    // Shared with calls that run with the interpreter lock released, so
    // that a rebuild in another thread never frees a plan in use. Only
    // copied or dropped with the lock held.
    std::shared_ptr<BatchCache>* cache;
};

GenomeBatchObject* as_batch(PyObject* self) { return reinterpret_cast<GenomeBatchObject*>(self); }

// Work (edge rows times samples) above which the blocks are shared out.
constexpr int64_t parallel_work = int64_t{1} << 17;

// Checks the genomes against the first; false with TypeError, RuntimeError
// or ValueError naming the first that does not fit.
bool check_members(PyObject* self) {
    const Py_ssize_t count = PyList_GET_SIZE(self);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(self, i);
        if (!PyObject_TypeCheck(item, &GenomeType)) {
            PyErr_Format(PyExc_TypeError, "GenomeBatch item %zd is a %s, not a tessavo.Genome.", i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        const auto* genome = reinterpret_cast<GenomeObject*>(item);
        const auto* first = reinterpret_cast<GenomeObject*>(PyList_GET_ITEM(self, 0));
        if (genome->inputs != first->inputs || genome->outputs != first->outputs) {
            PyErr_Format(PyExc_ValueError,
                         "GenomeBatch item %zd has %d inputs and %d outputs, but item 0 has %d "
                         "inputs and %d outputs; a batch's genomes must agree.",
                         i, genome->inputs, genome->outputs, first->inputs, first->outputs);
            return false;
        }
    }
    return true;
}

bool cache_fits(const BatchCache* cache, PyObject* self) {
    const Py_ssize_t count = PyList_GET_SIZE(self);
    if (cache == nullptr || static_cast<Py_ssize_t>(cache->members.size()) != count) return false;
    PyObject** items = reinterpret_cast<PyListObject*>(self)->ob_item;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (cache->members[i] != items[i]) return false;
    }
    return true;
}

// The batch's plan, built again when its items changed. Null with an
// exception set.
std::shared_ptr<BatchCache> current_cache(PyObject* self) {
    GenomeBatchObject* batch = as_batch(self);
    if (batch->cache != nullptr && cache_fits(batch->cache->get(), self)) return *batch->cache;
    if (!check_members(self)) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(self);
    try {
        auto cache = std::make_shared<BatchCache>();
        std::vector<const Network*> networks;
        networks.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            auto* genome = reinterpret_cast<GenomeObject*>(PyList_GET_ITEM(self, i));
            const Network& network = genome->network;
            if (network.inputs != genome->inputs || network.outputs != genome->outputs ||
                network.size < genome->inputs + genome->outputs ||
                network.values.size() != static_cast<std::size_t>(network.size)) {
                PyErr_Format(PyExc_RuntimeError,
                             "GenomeBatch item %zd holds no network to predict with.", i);
                return nullptr;
            }
            networks.push_back(&network);
            cache->recurrent.push_back(network.recurrent ? 1 : 0);
        }
        // A recurrent genome twice would have two states.
        std::vector<std::pair<PyObject*, Py_ssize_t>> seen;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (cache->recurrent[i]) seen.emplace_back(PyList_GET_ITEM(self, i), i);
        }
        std::sort(seen.begin(), seen.end());
        for (std::size_t k = 1; k < seen.size(); ++k) {
            if (seen[k].first == seen[k - 1].first) {
                PyErr_Format(PyExc_ValueError,
                             "GenomeBatch items %zd and %zd are the same recurrent genome, whose "
                             "state cannot follow two inputs at once.",
                             std::min(seen[k].second, seen[k - 1].second),
                             std::max(seen[k].second, seen[k - 1].second));
                return nullptr;
            }
        }
        cache->plan = make_batch_plan(networks);
        for (const BatchBlock& block : cache->plan.blocks) {
            cache->offsets.push_back(cache->cells);
            cache->cells += batch_block_cells(block);
        }
        cache->members.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            cache->members.push_back(Py_NewRef(PyList_GET_ITEM(self, i)));
        }
        if (batch->cache == nullptr) batch->cache = new std::shared_ptr<BatchCache>();
        // The old plan may hold the last references to genomes: drop it
        // after the new one is in place.
        std::shared_ptr<BatchCache> previous = std::exchange(*batch->cache, cache);
        previous.reset();
        return cache;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

bool check_batch_shape(PyArrayObject* x, Py_ssize_t count, int32_t inputs) {
    const int d = PyArray_NDIM(x);
    if (d != 2 && d != 3) {
        PyErr_SetString(PyExc_ValueError,
                        "Expected x to have 2 dimensions (one row per genome) or 3 dimensions "
                        "(one series of samples per genome).");
        return false;
    }
    if (PyArray_DIM(x, 0) != count) {
        PyErr_Format(PyExc_ValueError,
                     "Expected the first dimension of x (%zd) to be the number of genomes in the "
                     "batch (%zd).",
                     static_cast<Py_ssize_t>(PyArray_DIM(x, 0)), count);
        return false;
    }
    if (PyArray_DIM(x, d - 1) != inputs) {
        PyErr_Format(PyExc_ValueError,
                     "Expected last dimension of x (%zd) to be equal to the number of inputs of "
                     "the genomes (%d)",
                     static_cast<Py_ssize_t>(PyArray_DIM(x, d - 1)), inputs);
        return false;
    }
    return true;
}

// Per calling thread: the node cells of every block.
thread_local std::vector<double> batch_values;
thread_local std::vector<double> batch_sums;

PyObject* batch_predict(PyObject* self, PyObject* args) {
    PyObject* x_argument = nullptr;
    if (!PyArg_ParseTuple(args, "O:predict", &x_argument)) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(self);
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "The GenomeBatch holds no genomes to predict with.");
        return nullptr;
    }
    std::shared_ptr<BatchCache> cache = current_cache(self);
    if (!cache) return nullptr;
    const BatchPlan& plan = cache->plan;
    const PyRef x_array = as_array(x_argument, "x");
    if (!x_array) return nullptr;
    auto* x = reinterpret_cast<PyArrayObject*>(x_array.get());
    if (!check_batch_shape(x, count, plan.inputs)) return nullptr;
    const int d = PyArray_NDIM(x);
    const int64_t samples = d == 3 ? PyArray_DIM(x, 1) : 1;
    try {
        require_memory(float64_bytes(static_cast<long double>(count) * samples * plan.outputs) +
                           float64_copy_bytes(x) + float64_bytes(2.0L * cache->cells),
                       "predict");
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    const bool ready =
        PyArray_ISCARRAY_RO(x) && PyArray_TYPE(x) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(x);
    PyRef converted =
        ready ? PyRef::borrow(reinterpret_cast<PyObject*>(x)) : as_contiguous_float64(x);
    if (!converted) return nullptr;
    // Converting a subclass runs its Python hooks, which may change the
    // list; the plan in hand still holds the genomes it was made from.
    npy_intp shape[3] = {count, samples, plan.outputs};
    if (d == 2) shape[1] = plan.outputs;
    PyRef result(PyArray_SimpleNew(d, shape, NPY_DOUBLE));
    if (!result) return nullptr;
    double* out =
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    const auto* in =
        static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(converted.get())));
    if (samples == 0) return result.release();
    std::vector<double>& values = batch_values;
    std::vector<double>& sums = batch_sums;
    try {
        if (values.size() < cache->cells) {
            values.assign(cache->cells, 0.0);
            sums.assign(cache->cells, 0.0);
        }
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    // Recurrent genomes go on from their own state, read and written back
    // with the lock held, as their own predict does.
    const std::size_t count_n = static_cast<std::size_t>(count);
    for (std::size_t i = 0; i < count_n; ++i) {
        if (!cache->recurrent[i]) continue;
        const Network& network = reinterpret_cast<GenomeObject*>(cache->members[i])->network;
        double* v = values.data() + cache->offsets[i / batch_lanes] + i % batch_lanes;
        for (std::size_t k = 0; k < network.values.size(); ++k)
            v[k * batch_lanes] = network.values[k];
    }
    const std::size_t blocks = plan.blocks.size();
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS;
    try {
        if (blocks > 1 && plan.edges * samples >= parallel_work) {
            const std::size_t threads = static_cast<std::size_t>(worker_threads());
            const std::size_t chunk = std::max<std::size_t>(1, blocks / (4 * threads));
            parallel_chunks(blocks, chunk, [&](std::size_t first, std::size_t last) {
                run_batch(plan, first, last, in, samples, cache->offsets, values.data(),
                          sums.data(), out);
            });
        } else {
            run_batch(plan, 0, blocks, in, samples, cache->offsets, values.data(), sums.data(),
                      out);
        }
    } catch (...) {
        failed = true;
    }
    Py_END_ALLOW_THREADS;
    if (failed) {
        PyErr_SetString(PyExc_RuntimeError, "GenomeBatch.predict failed in a worker thread.");
        return nullptr;
    }
    for (std::size_t i = 0; i < count_n; ++i) {
        if (!cache->recurrent[i]) continue;
        Network& network = reinterpret_cast<GenomeObject*>(cache->members[i])->network;
        const std::size_t at = cache->offsets[i / batch_lanes] + i % batch_lanes;
        for (std::size_t k = 0; k < network.values.size(); ++k) {
            network.values[k] = values[at + k * batch_lanes];
            network.sums[k] = k < static_cast<std::size_t>(plan.inputs)
                                  ? network.biases[k]
                                  : sums[at + k * batch_lanes];
        }
    }
    return result.release();
}

PyObject* batch_reset(PyObject* self, PyObject* args) {
    PyObject* which = Py_None;
    if (!PyArg_ParseTuple(args, "|O:reset", &which)) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(self);
    std::vector<Py_ssize_t> chosen;
    if (which == Py_None) {
        for (Py_ssize_t i = 0; i < count; ++i) chosen.push_back(i);
    } else {
        PyRef array(PyArray_FROM_O(which));
        if (!array) return nullptr;
        auto* a = reinterpret_cast<PyArrayObject*>(array.get());
        if (PyArray_NDIM(a) > 1) {
            PyErr_SetString(PyExc_ValueError,
                            "reset takes None, indices or a mask of one dimension.");
            return nullptr;
        }
        const npy_intp size = PyArray_SIZE(a);
        const char kind = PyArray_DESCR(a)->kind;
        if (kind == 'b') {
            if (PyArray_NDIM(a) != 1 || size != count) {
                PyErr_Format(PyExc_ValueError,
                             "A mask for reset needs one entry per genome (%zd), got %zd.", count,
                             static_cast<Py_ssize_t>(size));
                return nullptr;
            }
            PyRef flags(PyArray_FROM_OTF(array.get(), NPY_BOOL, NPY_ARRAY_CARRAY_RO));
            if (!flags) return nullptr;
            const auto* f = static_cast<const npy_bool*>(
                PyArray_DATA(reinterpret_cast<PyArrayObject*>(flags.get())));
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (f[i]) chosen.push_back(i);
            }
        } else if (kind == 'i' || kind == 'u' || size == 0) {
            PyRef indices(PyArray_FROM_OTF(array.get(), NPY_INT64,
                                           NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
            if (!indices) return nullptr;
            const auto* p = static_cast<const int64_t*>(
                PyArray_DATA(reinterpret_cast<PyArrayObject*>(indices.get())));
            for (npy_intp k = 0; k < size; ++k) {
                const int64_t i = p[k] < 0 ? p[k] + count : p[k];
                if (i < 0 || i >= count) {
                    PyErr_Format(PyExc_IndexError,
                                 "reset index %lld is out of range for %zd genomes.",
                                 static_cast<long long>(p[k]), count);
                    return nullptr;
                }
                chosen.push_back(static_cast<Py_ssize_t>(i));
            }
        } else {
            PyErr_Format(PyExc_TypeError,
                         "reset takes None, integer indices or a boolean mask, got %s.",
                         Py_TYPE(which)->tp_name);
            return nullptr;
        }
    }
    // Checked first: either every chosen genome is cleared or none is.
    for (Py_ssize_t i : chosen) {
        PyObject* item = PyList_GET_ITEM(self, i);
        if (!PyObject_TypeCheck(item, &GenomeType)) {
            PyErr_Format(PyExc_TypeError, "GenomeBatch item %zd is a %s, not a tessavo.Genome.", i,
                         Py_TYPE(item)->tp_name);
            return nullptr;
        }
    }
    for (Py_ssize_t i : chosen) {
        clear_state(reinterpret_cast<GenomeObject*>(PyList_GET_ITEM(self, i))->network);
    }
    Py_RETURN_NONE;
}

bool parse_epoch(PyObject* value, int64_t& epoch) {
    if (value == Py_None) {
        epoch = -1;
        return true;
    }
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "epoch must be None or an int, got %s.",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    const long long e = PyLong_AsLongLong(value);
    if (e == -1 && PyErr_Occurred()) return false;
    if (e < 0) {
        PyErr_Format(PyExc_ValueError, "epoch must not be negative, got %lld.", e);
        return false;
    }
    epoch = e;
    return true;
}

PyObject* batch_reduce(PyObject* self, PyObject*) {
    PyRef items(PySequence_List(self));
    if (!items) return nullptr;
    const int64_t epoch = as_batch(self)->epoch;
    if (epoch < 0) {
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get());
    }
    return Py_BuildValue("(O(O){s:L})", reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get(),
                         "epoch", static_cast<long long>(epoch));
}

PyObject* batch_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "GenomeBatch state must be a dict.");
        return nullptr;
    }
    PyObject* value = PyDict_GetItemString(state, "epoch");
    int64_t epoch = -1;
    if (value != nullptr && !parse_epoch(value, epoch)) return nullptr;
    as_batch(self)->epoch = epoch;
    Py_RETURN_NONE;
}

PyObject* batch_get_epoch(PyObject* self, void*) {
    const int64_t epoch = as_batch(self)->epoch;
    if (epoch < 0) Py_RETURN_NONE;
    return PyLong_FromLongLong(epoch);
}

int batch_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "epoch", nullptr};
    PyObject* genomes = nullptr;
    PyObject* epoch_value = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:GenomeBatch", const_cast<char**>(keywords),
                                     &genomes, &epoch_value)) {
        return -1;
    }
    int64_t epoch = -1;
    if (!parse_epoch(epoch_value, epoch)) return -1;
    PyRef list_args(genomes ? PyTuple_Pack(1, genomes) : PyTuple_New(0));
    if (!list_args || PyList_Type.tp_init(self, list_args.get(), nullptr) < 0) return -1;
    if (!check_members(self)) return -1;
    as_batch(self)->epoch = epoch;
    return 0;
}

PyObject* batch_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_batch(self)->epoch = -1;
    as_batch(self)->cache = nullptr;
    return self;
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
    if (int r = PyList_Type.tp_traverse(self, visit, arg)) return r;
    GenomeBatchObject* batch = as_batch(self);
    if (batch->cache != nullptr && *batch->cache) {
        for (PyObject* member : (*batch->cache)->members) Py_VISIT(member);
    }
    return 0;
}

void drop_cache(GenomeBatchObject* batch) {
    std::shared_ptr<BatchCache>* cache = std::exchange(batch->cache, nullptr);
    delete cache;
}

int batch_clear(PyObject* self) {
    drop_cache(as_batch(self));
    return PyList_Type.tp_clear(self);
}

void batch_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    drop_cache(as_batch(self));
    PyList_Type.tp_dealloc(self);
}

PyMethodDef batch_methods[] = {
    {"predict", batch_predict, METH_VARARGS,
     "predict($self, x, /)\n--\n\nPredict for every genome at once: x holds one row per genome, "
     "shape (len(batch), inputs), or one series of samples per genome, shape (len(batch), "
     "samples, inputs). Returns (len(batch), outputs) or (len(batch), samples, outputs), the "
     "same values that each genome's own predict gives on its rows."},
    {"reset", batch_reset, METH_VARARGS,
     "reset($self, which=None, /)\n--\n\nClear the recurrent state of every genome, or of the "
     "chosen ones: integer indices or a boolean mask with one entry per genome."},
    {"__reduce__", batch_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nHelper for pickle and copy."},
    {"__setstate__", batch_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nHelper for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"epoch", batch_get_epoch, nullptr,
     "The epoch of func_evolve that scores these genomes (from 0), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject GenomeBatchType = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_genome_batch_type() {
    GenomeBatchType.tp_name = "tessavo.GenomeBatch";
    GenomeBatchType.tp_basicsize = sizeof(GenomeBatchObject);
    GenomeBatchType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    GenomeBatchType.tp_doc =
        "GenomeBatch(genomes=(), /, *, epoch=None)\n--\n\n"
        "A list of Genomes that predicts for all of them in one call.";
    GenomeBatchType.tp_base = &PyList_Type;
    GenomeBatchType.tp_new = batch_new;
    GenomeBatchType.tp_init = batch_init;
    GenomeBatchType.tp_dealloc = batch_dealloc;
    GenomeBatchType.tp_traverse = batch_traverse;
    GenomeBatchType.tp_clear = batch_clear;
    GenomeBatchType.tp_methods = batch_methods;
    GenomeBatchType.tp_getset = batch_getset;
    return PyType_Ready(&GenomeBatchType) == 0;
}

PyObject* make_genome_batch(Py_ssize_t count, int64_t epoch) {
    PyObject* self = batch_new(&GenomeBatchType, nullptr, nullptr);
    if (!self) return nullptr;
    if (count > 0) {
        auto* list = reinterpret_cast<PyListObject*>(self);
        list->ob_item = static_cast<PyObject**>(
            PyMem_Calloc(static_cast<std::size_t>(count), sizeof(PyObject*)));
        if (list->ob_item == nullptr) {
            Py_DECREF(self);
            return PyErr_NoMemory();
        }
        list->allocated = count;
        Py_SET_SIZE(list, count);
    }
    as_batch(self)->epoch = epoch < 0 ? -1 : epoch;
    return self;
}

}  // namespace tessavo
