#include <exception>
#include <new>
#include <stdexcept>

#include "evolution/failure.hpp"
#include "module/model.hpp"
#include "network/memory.hpp"

namespace tessavo {

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const BrokenNetwork& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const MemoryShortage& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
    }
}

}  // namespace tessavo
