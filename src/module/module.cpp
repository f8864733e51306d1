// Module initialisation: binds NumPy, readies the types, registers them.
#define TESSAVO_IMPORT_ARRAY
#include "module/genome.hpp"
#include "module/keras.hpp"
#include "module/model.hpp"
#include "module/modelfile_binding.hpp"
#include "module/numpy.hpp"
#include "module/optimizers.hpp"
#include "module/pickling.hpp"
#include "module/pyref.hpp"
#include "module/run_support.hpp"
#include "module/seeding.hpp"
#include "module/threads.hpp"

namespace tessavo {
namespace {

PyMethodDef module_functions[] = {
    {"from_keras", module_from_keras, METH_VARARGS,
     "from_keras(keras_model, /)\n--\n\nConvert a Keras model to a Tessavo model. This only works "
     "for Keras models that have been exported from Tessavo using `model.to_keras()` with "
     "unmodified architecture."},
    {"load", module_load, METH_VARARGS,
     "load(path, /)\n--\n\nLoad a model saved in the '.tv' format."},
    {"set_random_seed", module_set_random_seed, METH_O,
     "set_random_seed(seed, /)\n--\n\nMake every random value of tessavo repeatable. From now "
     "on the values of the random device and of the C generator come from one stream seeded "
     "with seed (an int from 0 to 2**64 - 1): the same seed and the same calls give the same "
     "models, histories and files. None returns to the operating system's random device. "
     "Process-wide; Python's random module and NumPy are not seeded."},
    {"set_num_threads", module_set_num_threads, METH_O,
     "set_num_threads(n, /)\n--\n\nUse n threads (the calling one included) for training from "
     "now on. By default there is one per CPU this process may run on, counted when the first "
     "generation needs them. A seeded run gives the same results on any number of threads."},
    {"get_num_threads", module_get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\nThe number of threads that training uses."},
    {"_pool_seconds", module_pool_seconds, METH_NOARGS,
     "_pool_seconds()\n--\n\nCPU seconds the training threads spent in work the pool shares "
     "out, counted from the first call. For benchmarks."},
    {"_restore", module_restore, METH_VARARGS,
     "_restore(cls, state, optimizer=None)\n--\n\nRebuild a pickled Model, Genome or Alpha."},
    {"_install_genome", module_install_genome, METH_VARARGS,
     "_install_genome(model, genome)\n--\n\nGive the model a copy of the genome's network."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tessavo._core",
    "Tessavo allows training models through neuro-evolution.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// import_array() returns NULL from the enclosing function on failure.
void* bind_numpy() {
    import_array();
    return reinterpret_cast<void*>(1);
}

}  // namespace
}  // namespace tessavo

PyMODINIT_FUNC PyInit__core() {
    using namespace tessavo;
    if (bind_numpy() == nullptr) return nullptr;
    if (!ready_model_type() || !ready_genome_type()) return nullptr;
    PyObject* module = PyModule_Create(&module_definition);
    if (!module) return nullptr;
    PyObject* optimizers = PyInit_optimizers();
    if (!optimizers || PyModule_AddObject(module, "optimizers", optimizers) < 0) {
        Py_XDECREF(optimizers);
        Py_DECREF(module);
        return nullptr;
    }
    if (!add_type(module, "Model", &ModelType) || !add_type(module, "Genome", &GenomeType)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
