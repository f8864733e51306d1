#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "evolution/failure.hpp"
#include "module/model.hpp"
#include "network/memory.hpp"

namespace tessavo {

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const BrokenNetwork& e) {
        // The console line, then what the user most needs after losing a
        // long run: nothing was changed, and how to keep progress next time.
        const std::string line = e.what();
        const char* stop = !line.empty() && line.back() == '.' ? "" : ".";
        PyErr_Format(PyExc_RuntimeError,
                     "%s%s The model is unchanged by this run; a "
                     "tessavo.callbacks.ModelCheckpoint callback keeps the best network of "
                     "every epoch.",
                     line.c_str(), stop);
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
