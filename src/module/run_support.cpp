#include "module/run_support.hpp"

#include <exception>
#include <memory>
#include <utility>

#include "module/genome.hpp"
#include "module/history.hpp"

namespace tessavo {

void without_interpreter_lock(const std::function<void()>& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS;
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
}

namespace {

const char* const hook_names[] = {"on_train_begin",     "on_epoch_begin", "on_train_batch_begin",
                                  "on_train_batch_end", "on_epoch_end",   "on_train_end"};

// Calls obj.name(*args) when obj has that attribute; false with the error.
template <class... Args>
bool call_hook(PyObject* obj, const char* name, Args... args) {
    PyRef hook(PyObject_GetAttrString(obj, name));
    if (!hook) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    PyRef result(PyObject_CallFunctionObjArgs(hook.get(), args..., nullptr));
    return static_cast<bool>(result);
}

}  // namespace

PythonConsole::PythonConsole() {
    PyObject* current = PySys_GetObject("stdout");
    PyObject* original = PySys_GetObject("__stdout__");
    if (current == original) return;
    stream_ = PyRef::borrow(current ? current : Py_None);
    redirect_.emplace(&PythonConsole::write, this);
}

void PythonConsole::write(void* context, std::string_view text) {
    auto* self = static_cast<PythonConsole*>(context);
    const PyGILState_STATE gil = PyGILState_Ensure();
    // After a failure nothing more is written; the run ends at its next check.
    if (!self->error_type_ && self->stream_.get() != Py_None) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyRef result(PyObject_CallMethod(self->stream_.get(), "write", "s#", text.data(),
                                         static_cast<Py_ssize_t>(text.size())));
        if (result) {
            // Flushed like a progress bar, so notebooks show the line now.
            PyRef flush(PyObject_GetAttrString(self->stream_.get(), "flush"));
            if (flush) {
                result = PyRef(PyObject_CallNoArgs(flush.get()));
            } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
            }
        }
        if (PyErr_Occurred()) {
            PyObject *error_type, *error_value, *error_traceback;
            PyErr_Fetch(&error_type, &error_value, &error_traceback);
            self->error_type_ = PyRef(error_type);
            self->error_value_ = PyRef(error_value);
            self->error_traceback_ = PyRef(error_traceback);
        }
        PyErr_Restore(type, value, traceback);
    }
    PyGILState_Release(gil);
}

bool PythonConsole::ok() {
    if (!error_type_) return true;
    PyErr_Restore(error_type_.release(), error_value_.release(), error_traceback_.release());
    return false;
}

bool Callbacks::parse(PyObject* argument) {
    if (argument == Py_None) return true;
    if (!PyList_Check(argument)) {
        PyErr_Format(PyExc_TypeError, "callbacks must be None or a list of callbacks, got %s.",
                     Py_TYPE(argument)->tp_name);
        return false;
    }
    std::vector<PyRef> objects;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(argument); ++i) {
        PyObject* item = PyList_GET_ITEM(argument, i);
        bool has_hook = false;
        for (const char* name : hook_names) {
            PyRef hook(PyObject_GetAttrString(item, name));
            if (!hook) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
                PyErr_Clear();
                continue;
            }
            if (!PyCallable_Check(hook.get())) {
                PyErr_Format(PyExc_TypeError, "callbacks[%zd].%s must be callable, got %s.", i,
                             name, Py_TYPE(hook.get())->tp_name);
                return false;
            }
            has_hook = true;
        }
        if (!has_hook) {
            PyErr_Format(PyExc_TypeError,
                         "callbacks[%zd] (%s) has none of on_train_begin, on_epoch_begin, "
                         "on_train_batch_begin, on_train_batch_end, on_epoch_end and "
                         "on_train_end.",
                         i, Py_TYPE(item)->tp_name);
            return false;
        }
        objects.push_back(PyRef::borrow(item));
    }
    objects_ = std::move(objects);
    return true;
}

bool Callbacks::train_begin(ModelObject* model) {
    model->stop_training = false;
    if (objects_.empty()) return true;
    PyRef logs(PyDict_New());
    if (!logs) return false;
    auto* self = reinterpret_cast<PyObject*>(model);
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "set_model", self)) return false;
    }
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "on_train_begin", logs.get())) return false;
    }
    return true;
}

bool Callbacks::epoch_begin(int32_t epoch) {
    if (objects_.empty()) return true;
    PyRef index(PyLong_FromLong(epoch));
    PyRef logs(PyDict_New());
    if (!index || !logs) return false;
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "on_epoch_begin", index.get(), logs.get())) return false;
    }
    return true;
}

bool Callbacks::batch_begin(int64_t batch) {
    if (objects_.empty()) return true;
    PyRef index(PyLong_FromLongLong(batch));
    PyRef logs(PyDict_New());
    if (!index || !logs) return false;
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "on_train_batch_begin", index.get(), logs.get())) {
            return false;
        }
    }
    return true;
}

bool Callbacks::batch_end(int64_t batch, PyObject* logs) {
    PyRef index(PyLong_FromLongLong(batch));
    if (!index) return false;
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "on_train_batch_end", index.get(), logs)) return false;
    }
    return true;
}

EpochAction Callbacks::epoch_end(ModelObject* model, int32_t epoch, PyObject* logs,
                                 const Network& best) {
    if (!objects_.empty()) {
        PyObject* genome = make_genome(best);
        if (!genome) return EpochAction::fail;
        Py_XSETREF(model->best_genome, genome);
        PyRef index(PyLong_FromLong(epoch));
        if (!index) return EpochAction::fail;
        for (const PyRef& callback : objects_) {
            if (!call_hook(callback.get(), "on_epoch_end", index.get(), logs)) {
                return EpochAction::fail;
            }
        }
    }
    return model->stop_training ? EpochAction::stop : EpochAction::proceed;
}

bool Callbacks::train_end(PyObject* logs) {
    for (const PyRef& callback : objects_) {
        if (!call_hook(callback.get(), "on_train_end", logs)) return false;
    }
    return true;
}

int parse_verbose(PyObject* object, void* verbose) {
    if (PyUnicode_Check(object)) {
        if (PyUnicode_CompareWithASCIIString(object, "auto") != 0) {
            PyErr_Format(PyExc_ValueError, "verbose must be an int or 'auto', got %R.", object);
            return 0;
        }
        *static_cast<int*>(verbose) = 1;
        return 1;
    }
    return PyArg_Parse(object, "i:verbose", static_cast<int*>(verbose));
}

RunHooks python_hooks(ModelObject* model, Callbacks& callbacks, PythonConsole& console,
                      const std::vector<int32_t>& codes, bool has_validation, bool has_monitors,
                      bool batch_hooks) {
    RunHooks hooks;
    // Pending signal handlers run between batches; one that raises ends
    // the run with its exception, before the model is touched.
    hooks.keep_going = [&console] { return PyErr_CheckSignals() == 0 && console.ok(); };
    hooks.epoch_end = [model, &callbacks, &console, codes, has_validation, has_monitors](
                          int32_t epoch, const RunHistory& so_far, const Network& best) {
        const GilHold gil;
        if (!console.ok()) return EpochAction::fail;
        PyRef logs;
        if (!callbacks.empty()) {
            logs = PyRef(epoch_logs(so_far, codes, has_validation, has_monitors,
                                    static_cast<std::size_t>(epoch)));
            if (!logs) return EpochAction::fail;
        }
        return callbacks.epoch_end(model, epoch, logs.get(), best);
    };
    if (callbacks.empty()) return hooks;
    // Whether model.stop_training was set when the epoch began.
    auto raised_before = std::make_shared<bool>(false);
    hooks.epoch_begin = [model, &callbacks, raised_before](int32_t epoch) {
        const GilHold gil;
        *raised_before = model->stop_training;
        return callbacks.epoch_begin(epoch);
    };
    if (!batch_hooks) return hooks;
    hooks.batch_begin = [&callbacks](int32_t, int64_t batch) {
        const GilHold gil;
        return callbacks.batch_begin(batch);
    };
    hooks.batch_end = [model, &callbacks, codes, has_monitors, raised_before](
                          int32_t, int64_t batch, const std::vector<double>& means, int32_t size) {
        const GilHold gil;
        PyRef logs(batch_logs(codes, means, has_monitors, size));
        if (!logs || !callbacks.batch_end(batch, logs.get())) return EpochAction::fail;
        return model->stop_training && !*raised_before ? EpochAction::stop : EpochAction::proceed;
    };
    return hooks;
}

bool finish_run(ModelObject* model, Network&& trained, Callbacks& callbacks, PyObject* logs) {
    // A signal that came during the last generation ends the run here, before
    // the model changes; one that comes while the new network is in place
    // (on_train_end runs Python code) puts the old one back. Either the caller
    // gets the history of a completed run or the model is as it was.
    if (PyErr_CheckSignals() != 0) return false;
    const int32_t size_before = model->size;
    Network before = std::move(model->network);
    if (!install_trained_network(model, std::move(trained))) {
        model->network = std::move(before);
        return false;
    }
    if (callbacks.train_end(logs) && PyErr_CheckSignals() == 0) return true;
    // A hook may have rebuilt the model; only a model of the same shape
    // takes its old network back.
    if (model->inputs == before.inputs && model->outputs == before.outputs &&
        model->recurrent == before.recurrent) {
        model->network = std::move(before);
        model->size = size_before;
    }
    return false;
}

PyObject* module_install_genome(PyObject*, PyObject* args) {
    PyObject* model_object = nullptr;
    PyObject* genome_object = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:_install_genome", &ModelType, &model_object, &GenomeType,
                          &genome_object)) {
        return nullptr;
    }
    auto* model = reinterpret_cast<ModelObject*>(model_object);
    const auto* genome = reinterpret_cast<GenomeObject*>(genome_object);
    if (genome->network.size == 0) {
        PyErr_SetString(PyExc_ValueError, "The genome holds no network.");
        return nullptr;
    }
    try {
        Network copy = genome->network;
        model->network = std::move(copy);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    model->inputs = genome->network.inputs;
    model->outputs = genome->network.outputs;
    model->recurrent = genome->network.recurrent;
    model->size = model->network.size;
    Py_RETURN_NONE;
}

}  // namespace tessavo
