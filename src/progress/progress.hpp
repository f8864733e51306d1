// The console progress lines of the training drivers. Each line is built in
// memory and written in one piece through console_write (console.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessavo {

// Nanoseconds of the monotonic clock that epochs are timed with.
int64_t monotonic_ns();

// Milliseconds as "1:02:03", "1:05", "59s" or "999ms".
std::string format_duration(double milliseconds);

// The line print_step_progress writes for a given elapsed time (ms), or ""
// when this verbose level shows nothing at this step.
std::string step_progress_line(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                               const std::vector<int32_t>& codes, double elapsed_ms, int32_t epoch,
                               int32_t epochs, int32_t step, int32_t steps,
                               const std::vector<double>& train, bool has_validation,
                               const std::vector<double>& validation);

// The line print_epoch_progress writes, or "" for verbose 0.
std::string epoch_progress_line(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                                double elapsed_ms, int32_t epoch, int32_t epochs, double loss,
                                bool has_validation, double validation_loss);

// Milliseconds from start (a monotonic_ns() timestamp) to now.
double elapsed_ms_since(int64_t start);

// After a step of dataset evolution; train holds the sums over the steps
// finished so far, one per code.
void print_step_progress(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                         const std::vector<int32_t>& codes, int64_t start, int32_t epoch,
                         int32_t epochs, int32_t step, int32_t steps,
                         const std::vector<double>& train, bool has_validation,
                         const std::vector<double>& validation);

// At the end of an epoch of function evolution.
void print_epoch_progress(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                          int64_t start, int32_t epoch, int32_t epochs, double loss,
                          bool has_validation, double validation_loss);

}  // namespace tessavo
