#include "progress/progress.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "progress/console.hpp"
#include "progress/loss_names.hpp"

namespace tessavo {

namespace {

void append_int(std::string& line, int64_t value) { line += std::to_string(value); }

// "%f" of any double fits: the widest is -DBL_MAX, 317 characters.
void append_fixed(std::string& line, double value) {
    char buffer[400];
    const int n = std::snprintf(buffer, sizeof buffer, "%f", value);
    if (n > 0) line.append(buffer, static_cast<std::size_t>(n));
}

const char* column_name(const std::vector<int32_t>& codes, std::size_t i) {
    if (i == 0) return "loss";
    const int32_t code = codes[i];
    return code >= 0 && code < loss_count ? loss_names[code] : "?";
}

void write_line(const std::string& line) { console_write(line); }

}  // namespace

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double elapsed_ms_since(int64_t start) {
    return static_cast<double>(monotonic_ns() - start) / 1000000.0;
}

std::string format_duration(double x) {
    // Durations are never negative; keep a stray value from reaching the
    // integer conversions below.
    if (!(x >= 0.0) || x > 9.0e18) x = 0.0;
    std::string text;
    const auto h = static_cast<int64_t>(std::floor(x / 1000 / 60 / 60));
    if (h > 0) {
        append_int(text, h);
        text += ':';
    }
    x = x - static_cast<double>(h) * 1000 * 60 * 60;
    const auto m = static_cast<int64_t>(std::floor(x / 1000 / 60));
    if (m > 0 || h > 0) {
        if (h > 0 && m < 10) text += '0';
        append_int(text, m);
        text += ':';
    }
    x = x - static_cast<double>(m) * 1000 * 60;
    const auto s = static_cast<int64_t>(std::floor(x / 1000));
    if (s > 0 || h > 0 || m > 0) {
        if ((h > 0 || m > 0) && s < 10) text += '0';
        append_int(text, s);
    }
    if (h == 0 && m == 0) {
        if (s != 0) {
            text += 's';
        } else {
            append_int(text, static_cast<int64_t>(x));
            text += "ms";
        }
    }
    return text;
}

std::string step_progress_line(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                               const std::vector<int32_t>& codes, double elapsed_ms, int32_t epoch,
                               int32_t epochs, int32_t step, int32_t steps,
                               const std::vector<double>& train, bool has_validation,
                               const std::vector<double>& validation) {
    const int64_t finished = static_cast<int64_t>(step) + 1;
    const bool last = finished == steps;
    if (verbose == 0) return {};
    if (verbose == 2 && !last) return {};
    // Training values averaged over several batches are flagged.
    const char* marker = steps > 1 ? "*" : "";

    std::string line = "\rEpoch ";
    append_int(line, static_cast<int64_t>(epoch) + 1);
    line += '/';
    append_int(line, epochs);
    if (verbose == 1) {
        line += " - ";
        append_int(line, finished);
        line += '/';
        append_int(line, steps);
        line += " [";
        const double r = static_cast<double>(finished) / static_cast<double>(steps);
        for (int i = 0; i < 30; ++i) {
            if (r > i / 30.0) {
                line += '=';
            } else if (r > (i - 1) / 30.0) {
                line += '>';
            } else {
                line += '.';
            }
        }
        line += ']';
    }
    line += " - ";
    if (last) {
        line += format_duration(elapsed_ms);
        if (verbose == 1) {
            line += ' ';
            line += format_duration(elapsed_ms / steps);
            line += "/step";
        }
    } else {
        const double eta =
            elapsed_ms / static_cast<double>(finished) * static_cast<double>(steps) - elapsed_ms;
        line += "ETA: ";
        line += format_duration(eta);
    }
    for (std::size_t i = 0; i < codes.size(); ++i) {
        line += " - ";
        line += column_name(codes, i);
        line += marker;
        line += ": ";
        append_fixed(line, train[i] / static_cast<double>(finished));
    }
    if (has_validation) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
            line += " - val_";
            line += column_name(codes, i);
            line += ": ";
            append_fixed(line, validation[i]);
        }
    }
    if (!monitors.empty()) {
        line += " - size: ";
        append_int(line, size);
    }
    if (last) line += '\n';
    return line;
}

std::string epoch_progress_line(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                                double elapsed_ms, int32_t epoch, int32_t epochs, double loss,
                                bool has_validation, double validation_loss) {
    if (verbose == 0) return {};
    std::string line = "\rEpoch ";
    append_int(line, static_cast<int64_t>(epoch) + 1);
    line += '/';
    append_int(line, epochs);
    line += " - ";
    line += format_duration(elapsed_ms);
    line += " - loss: ";
    append_fixed(line, loss);
    if (has_validation) {
        line += " - val_loss: ";
        append_fixed(line, validation_loss);
    }
    if (!monitors.empty()) {
        line += " - size: ";
        append_int(line, size);
    }
    line += '\n';
    return line;
}

void print_step_progress(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                         const std::vector<int32_t>& codes, int64_t start, int32_t epoch,
                         int32_t epochs, int32_t step, int32_t steps,
                         const std::vector<double>& train, bool has_validation,
                         const std::vector<double>& validation) {
    if (verbose == 0) return;
    write_line(step_progress_line(verbose, monitors, size, codes, elapsed_ms_since(start), epoch,
                                  epochs, step, steps, train, has_validation, validation));
}

void print_epoch_progress(int32_t verbose, const std::vector<int32_t>& monitors, int32_t size,
                          int64_t start, int32_t epoch, int32_t epochs, double loss,
                          bool has_validation, double validation_loss) {
    if (verbose == 0) return;
    write_line(epoch_progress_line(verbose, monitors, size, elapsed_ms_since(start), epoch, epochs,
                                   loss, has_validation, validation_loss));
}

}  // namespace tessavo
