// One owned reference to a Python object, released when the owner goes.
#pragma once

#include <Python.h>

#include <utility>

namespace tessavo {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    explicit PyRef(PyObject* owned) : object_(owned) {}
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    PyObject* object_ = nullptr;
};

// Adds a static type to a module under name, keeping a reference of its own.
inline bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace tessavo
