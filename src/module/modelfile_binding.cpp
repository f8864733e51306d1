#include "module/modelfile_binding.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "modelfile/modelfile.hpp"
#include "module/model.hpp"
#include "module/pyref.hpp"

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

// The UTF-8 form of a str argument; null with an exception set.
const char* path_of(PyObject* location) {
    Py_ssize_t length = 0;
    const char* path = PyUnicode_AsUTF8AndSize(location, &length);
    if (path && std::strlen(path) != static_cast<std::size_t>(length)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return path;
}

// OSError (of the subclass its errno selects) naming the caller's path,
// ValueError for a malformed file, the common mapping for anything else.
void set_file_error(PyObject* location) {
    try {
        throw;
    } catch (const ModelFileError& e) {
        errno = e.error_number;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, location);
    } catch (const MalformedModelFile& e) {
        PyErr_Format(PyExc_ValueError, "Malformed model file %R: %s.", location, e.what());
    } catch (...) {
        set_error_from_current_exception();
    }
}

}  // namespace

PyObject* model_save(PyObject* self, PyObject* args) {
    PyObject* argument = nullptr;
    if (!PyArg_ParseTuple(args, "O:save", &argument)) return nullptr;
    PyRef owned(str_path(argument, "save"));
    if (!owned) return nullptr;
    PyObject* location = owned.get();
    const char* path = path_of(location);
    if (!path) return nullptr;
    try {
        save_network_file(reinterpret_cast<ModelObject*>(self)->network, path);
    } catch (...) {
        set_file_error(location);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* module_load(PyObject*, PyObject* args) {
    PyObject* argument = nullptr;
    if (!PyArg_ParseTuple(args, "O:load", &argument)) return nullptr;
    PyRef owned(str_path(argument, "load"));
    if (!owned) return nullptr;
    PyObject* location = owned.get();
    const char* path = path_of(location);
    if (!path) return nullptr;
    Network network;
    try {
        network = load_network_file(path);
    } catch (...) {
        set_file_error(location);
        return nullptr;
    }
    return make_model(std::move(network), true);
}

}  // namespace tessavo
