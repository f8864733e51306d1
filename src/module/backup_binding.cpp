#include "module/backup_binding.hpp"

#include <unistd.h>

#include <cerrno>
#include <exception>

#include "modelfile/modelfile.hpp"
#include "module/model.hpp"
#include "module/run_support.hpp"
#include "progress/loss_names.hpp"

namespace tessavo {

namespace {

void set_os_error(const ModelFileError& error, const std::string& path) {
    errno = error.error_number;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
}

}  // namespace

std::string repr_text(PyObject* object) {
    PyRef text(PyObject_Repr(object));
    if (!text) return {};
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    return utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : std::string();
}

bool RunBackupPlan::prepare(PyObject* callbacks_argument) {
    if (callbacks_argument == Py_None || !PyList_Check(callbacks_argument)) return true;
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(callbacks_argument); ++i) {
        PyObject* item = PyList_GET_ITEM(callbacks_argument, i);
        const int has = PyObject_HasAttrString(item, "_prepare_backup");
        if (!has) continue;
        if (found) {
            PyErr_SetString(PyExc_ValueError,
                            "A run takes one BackupAndRestore callback, not several.");
            return false;
        }
        found = item;
    }
    if (!found) return true;
    PyRef plan(PyObject_CallMethod(found, "_prepare_backup", nullptr));
    if (!plan) return false;
    const char* path = nullptr;
    int every = 1, remove = 1;
    if (!PyArg_ParseTuple(plan.get(), "sip", &path, &every, &remove)) return false;
    PyRef module(PyImport_ImportModule("tessavo"));
    if (!module) return false;
    PyRef version(PyObject_GetAttrString(module.get(), "__version__"));
    if (!version) return false;
    const char* version_text = PyUnicode_AsUTF8(version.get());
    if (!version_text) return false;
    path_ = path;
    every_ = every < 1 ? 1 : every;
    delete_at_end_ = remove != 0;
    version_ = version_text;
    active_ = true;
    return true;
}

bool RunBackupPlan::load(const RunArguments& arguments) {
    arguments_ = arguments;
    if (!active_) return true;
    if (::access(path_.c_str(), F_OK) != 0) return true;  // nothing to resume
    try {
        std::optional<RunCheckpoint> read;
        without_interpreter_lock([&] { read = load_checkpoint(path_, version_, arguments_); });
        resume_ = std::move(read);
    } catch (const MalformedBackup& error) {
        PyErr_Format(PyExc_ValueError, "Cannot resume from the backup %s: %s.", path_.c_str(),
                     error.what());
        return false;
    } catch (const ModelFileError& error) {
        set_os_error(error, path_);
        return false;
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
    return true;
}

void RunBackupPlan::install(RunHooks& hooks) {
    if (!active_) return;
    hooks.checkpoint = [this](int32_t epoch, bool last,
                              const std::function<void(RunCheckpoint&)>& fill) {
        // The end of a run whose backup is deleted needs none.
        const bool save = last ? !delete_at_end_ : (epoch + 1) % every_ == 0;
        if (!save) return true;
        try {
            fill(saved_);
            saved_.arguments = arguments_;
            without_interpreter_lock([&] { save_checkpoint(path_, version_, saved_, &buffer_); });
        } catch (const ModelFileError& error) {
            set_os_error(error, path_);
            return false;
        }
        return true;
    };
}

void RunBackupPlan::finish() {
    // A backup that cannot be deleted stays; the run itself is complete.
    if (active_ && delete_at_end_) ::unlink(path_.c_str());
}

std::string codes_text(const std::vector<int32_t>& codes) {
    std::string text;
    for (const int32_t code : codes) {
        if (!text.empty()) text += ", ";
        text += code >= 0 && code < loss_count ? loss_names[code] : "?";
    }
    return text.empty() ? "none" : text;
}

}  // namespace tessavo
