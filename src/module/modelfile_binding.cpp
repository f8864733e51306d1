#include "module/modelfile_binding.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "modelfile/modelfile.hpp"
#include "module/model.hpp"
#include "module/pyref.hpp"
#include "random/sources.hpp"

namespace tessavo {

namespace {

// A str or os.PathLike giving a str; bytes paths are refused like any other
// type. New reference, null with TypeError.
PyObject* str_path(PyObject* location, const char* function) {
    PyRef path(PyUnicode_Check(location) ? PyRef::borrow(location) : PyRef(PyOS_FSPath(location)));
    if (!path) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() argument must be str or os.PathLike, not %s",
                         function, Py_TYPE(location)->tp_name);
        }
        return nullptr;
    }
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be a str path, not %s", function,
                     Py_TYPE(path.get())->tp_name);
        return nullptr;
    }
    return path.release();
}

// The UTF-8 form of a str argument; false with an exception set.
bool path_of(PyObject* location, std::string& path) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(location, &length);
    if (!text) return false;
    if (std::strlen(text) != static_cast<std::size_t>(length)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    path.assign(text, static_cast<std::size_t>(length));
    return true;
}

// OSError (of the subclass its errno selects) naming the caller's path,
// ValueError for a malformed file, the exception a signal handler raised,
// the common mapping for anything else.
void set_file_error(PyObject* location) {
    try {
        throw;
    } catch (const FileWorkStopped&) {
        // The signal handler's exception is already set.
    } catch (const ModelFileError& e) {
        errno = e.error_number;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, location);
    } catch (const MalformedModelFile& e) {
        PyErr_Format(PyExc_ValueError, "Malformed model file %R: %s.", location, e.what());
    } catch (...) {
        set_error_from_current_exception();
    }
}

// Runs file work without the interpreter lock, so that other threads run
// meanwhile (one of them may feed the FIFO being read). The work touches no
// Python object; now and then it takes the lock back to run pending signal
// handlers, and stops when one raises. True on success; false with an
// exception set.
template <typename Work>
bool run_unlocked(PyObject* location, Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    const KeepGoing keep_going = [&state] {
        PyEval_RestoreThread(state);
        const bool go_on = PyErr_CheckSignals() == 0;
        state = PyEval_SaveThread();
        return go_on;
    };
    bool done = false;
    try {
        work(keep_going);
        done = true;
    } catch (...) {
        PyEval_RestoreThread(state);
        set_file_error(location);
        return false;
    }
    PyEval_RestoreThread(state);
    return done;
}

}  // namespace

PyObject* model_save(PyObject* self, PyObject* args) {
    PyObject* argument = nullptr;
    if (!PyArg_ParseTuple(args, "O:save", &argument)) return nullptr;
    PyRef owned(str_path(argument, "save"));
    if (!owned) return nullptr;
    PyObject* location = owned.get();
    std::string path;
    if (!path_of(location, path)) return nullptr;
    // Written from a copy: without the lock, another thread may replace the
    // model's network meanwhile.
    Network snapshot;
    try {
        const Network& network = reinterpret_cast<ModelObject*>(self)->network;
        check_fits_in_memory(network.size);
        snapshot = network;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    const bool saved = run_unlocked(location, [&](const KeepGoing& keep_going) {
        save_network_file(snapshot, path, keep_going);
    });
    if (!saved) return nullptr;
    Py_RETURN_NONE;
}

PyObject* module_load(PyObject*, PyObject* args) {
    PyObject* argument = nullptr;
    if (!PyArg_ParseTuple(args, "O:load", &argument)) return nullptr;
    PyRef owned(str_path(argument, "load"));
    if (!owned) return nullptr;
    PyObject* location = owned.get();
    std::string path;
    if (!path_of(location, path)) return nullptr;
    // Drawn here, with the lock held: other threads use the device seam
    // meanwhile, and set_random_seed replaces it.
    uint32_t seed = 0;
    try {
        seed = device_value();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    Network network;
    const bool loaded = run_unlocked(location, [&](const KeepGoing& keep_going) {
        network = load_network_file(path, seed, keep_going);
    });
    if (!loaded) return nullptr;
    return make_model(std::move(network), true);
}

}  // namespace tessavo
