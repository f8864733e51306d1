// A run's tessavo.callbacks.BackupAndRestore, seen from evolve and
// func_evolve: the backup read before the run, saved at epoch ends, and
// deleted after a normal end.
#pragma once

#include <optional>
#include <string>

#include "module/pyref.hpp"
#include "training/driver.hpp"
#include "training/run_backup.hpp"

namespace tessavo {

class RunBackupPlan {
public:
    // Finds the backup callback among the callbacks argument (None or a
    // list) and prepares its folder. False with an exception set: OSError
    // for a folder that is a file or cannot be written, ValueError for two
    // such callbacks.
    bool prepare(PyObject* callbacks_argument);
    bool active() const { return active_; }
    // Reads the backup when there is one, for a run with these arguments.
    // False with ValueError (unusable, saying why) or OSError.
    bool load(const RunArguments& arguments);
    // The state to resume from, or null.
    const RunCheckpoint* resume() const { return resume_ ? &*resume_ : nullptr; }
    // Saves at the chosen epoch ends (called with the interpreter lock).
    void install(RunHooks& hooks);
    // After a normal end: deletes the backup unless it is to be kept.
    void finish();

private:
    bool active_ = false;
    std::string path_;
    std::string version_;
    int32_t every_ = 1;
    bool delete_at_end_ = true;
    RunArguments arguments_;
    std::optional<RunCheckpoint> resume_;
    // Reused from one save to the next.
    RunCheckpoint saved_;
    ByteOut buffer_;
};

// The repr of an object as a string; empty with an exception set.
std::string repr_text(PyObject* object);

// Loss names of codes, comma-separated; "none" for none.
std::string codes_text(const std::vector<int32_t>& codes);

}  // namespace tessavo
