#include "module/modelfile_binding.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "modelfile/modelfile.hpp"
#include "module/model.hpp"

namespace tessavo {

namespace {

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
    PyObject* location = nullptr;
    if (!PyArg_ParseTuple(args, "U:save", &location)) return nullptr;
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
    PyObject* location = nullptr;
    if (!PyArg_ParseTuple(args, "U:load", &location)) return nullptr;
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
