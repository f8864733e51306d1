#include "training/run_backup.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

namespace tessavo {

namespace {

using Tag = std::array<char, 4>;

constexpr Tag arguments_tag = {'A', 'R', 'G', 'S'};
constexpr Tag epoch_tag = {'E', 'P', 'O', 'C'};
constexpr Tag history_tag = {'H', 'I', 'S', 'T'};
constexpr Tag random_tag = {'R', 'A', 'N', 'D'};
constexpr Tag best_tag = {'B', 'E', 'S', 'T'};
constexpr Tag optimizer_tag = {'O', 'P', 'T', 'M'};
constexpr Tag driver_tag = {'D', 'R', 'I', 'V'};

// FNV-1a over 64 bits, folded eight bytes at a time.
uint64_t hash_bytes(const void* data, std::size_t size, uint64_t h) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

}  // namespace

std::string data_fingerprint(const SeriesView& data) {
    const auto span = static_cast<std::size_t>(data.steps) * static_cast<std::size_t>(data.width);
    uint64_t h = 0xCBF29CE484222325ull;
    const int64_t samples = std::min<int64_t>(data.count, 64);
    for (int64_t k = 0; k < samples; ++k) {
        // Evenly spread, the first and the last series included.
        const int64_t series = samples == 1 ? 0 : k * (data.count - 1) / (samples - 1);
        h = hash_bytes(data.sample(series, 0), span * sizeof(double), h);
    }
    char text[128];
    std::snprintf(text, sizeof text, "%" PRId64 " x %" PRId64 " x %d, sample hash %016" PRIx64,
                  data.count, data.steps, data.width, h);
    return text;
}

namespace {

// Every section before the optimizer's.
void first_sections(BackupBuilder& file, const RunCheckpoint& c) {
    file.section(arguments_tag, [&](ByteOut& o) {
        o.u32(static_cast<uint32_t>(c.arguments.size()));
        for (const auto& [name, value] : c.arguments) {
            o.str(name);
            o.str(value);
        }
    });
    file.section(epoch_tag, [&](ByteOut& o) { o.i32(c.epochs_done); });
    file.section(history_tag, [&](ByteOut& o) {
        o.u32(static_cast<uint32_t>(c.train.size()));
        for (const auto& series : c.train) o.f64s(series);
        o.u32(static_cast<uint32_t>(c.validation.size()));
        for (const auto& series : c.validation) o.f64s(series);
        o.i32s(c.sizes);
    });
    file.section(random_tag, [&](ByteOut& o) { put_random_streams(o, c.streams); });
    file.section(best_tag, [&](ByteOut& o) { put_network(o, c.best); });
}

constexpr uint32_t section_count = 7;

}  // namespace

void checkpoint_bytes(const RunCheckpoint& c, const std::string& version, ByteOut& out) {
    BackupBuilder file(out, version, section_count);
    first_sections(file, c);
    file.section(optimizer_tag, [&](ByteOut& o) { o.raw(c.optimizer.data(), c.optimizer.size()); });
    file.section(driver_tag, [&](ByteOut& o) { o.raw(c.driver.data(), c.driver.size()); });
    file.finish();
}

void save_checkpoint(const std::string& path, const std::string& version, const RunCheckpoint& c,
                     ByteOut* buffer) {
    // The bytes of checkpoint_bytes, with the optimizer's state (the bulk)
    // written from where it is rather than copied.
    ByteOut own;
    ByteOut& head = buffer ? *buffer : own;
    BackupBuilder file(head, version, section_count);
    first_sections(file, c);
    head.raw(optimizer_tag.data(), 4);
    head.u64(c.optimizer.size());
    ByteOut tail;
    tail.raw(driver_tag.data(), 4);
    tail.u64(c.driver.size());
    tail.raw(c.driver.data(), c.driver.size());
    const uint64_t length = head.bytes.size() + c.optimizer.size() + tail.bytes.size() + 4;
    std::memcpy(head.bytes.data() + 12, &length, 8);
    uint32_t crc = crc32c(head.bytes.data(), head.bytes.size());
    crc = crc32c(c.optimizer.data(), c.optimizer.size(), crc);
    crc = crc32c(tail.bytes.data(), tail.bytes.size(), crc);
    tail.u32(crc);
    save_pieces_file({{head.bytes.data(), head.bytes.size()},
                      {c.optimizer.data(), c.optimizer.size()},
                      {tail.bytes.data(), tail.bytes.size()}},
                     path);
}

RunCheckpoint checkpoint_from_sections(const std::vector<BackupSection>& sections,
                                       const RunArguments& arguments) {
    auto find = [&](const Tag& tag, const char* what) -> const std::vector<unsigned char>& {
        for (const BackupSection& section : sections) {
            if (section.tag == tag) return section.bytes;
        }
        throw MalformedBackup(std::string("it holds no ") + what);
    };
    RunCheckpoint c;
    {
        ByteIn in(find(arguments_tag, "arguments"), "its arguments");
        const uint32_t count = in.u32();
        for (uint32_t k = 0; k < count; ++k) {
            std::string name = in.str();
            std::string value = in.str();
            c.arguments.emplace_back(std::move(name), std::move(value));
        }
        in.finish();
    }
    // Every difference, named, before anything else is read.
    {
        const std::map<std::string, std::string> saved(c.arguments.begin(), c.arguments.end());
        const std::map<std::string, std::string> wanted(arguments.begin(), arguments.end());
        std::string differences;
        auto note = [&](const std::string& text) {
            differences += differences.empty() ? text : "; " + text;
        };
        for (const auto& [name, value] : arguments) {
            const auto at = saved.find(name);
            if (at == saved.end()) {
                note(name + " is not in the backup");
            } else if (at->second != value) {
                note(name + " is " + at->second + " in the backup and " + value + " in this run");
            }
        }
        for (const auto& [name, value] : c.arguments) {
            if (!wanted.count(name))
                note(name + " is " + value + " in the backup and not in this run");
        }
        if (!differences.empty()) {
            throw MalformedBackup("it was made by a run with other arguments: " + differences);
        }
    }
    {
        ByteIn in(find(epoch_tag, "epoch"), "its epoch");
        c.epochs_done = in.i32();
        if (c.epochs_done < 0) in.bad("is negative");
        in.finish();
    }
    {
        ByteIn in(find(history_tag, "history"), "its history");
        const uint32_t codes = in.u32();
        if (codes > 1024) in.bad("holds too many series");
        for (uint32_t k = 0; k < codes; ++k) c.train.push_back(in.f64s());
        const uint32_t validations = in.u32();
        if (validations > 1024) in.bad("holds too many series");
        for (uint32_t k = 0; k < validations; ++k) c.validation.push_back(in.f64s());
        c.sizes = in.i32s();
        in.finish();
        const auto epochs = static_cast<std::size_t>(c.epochs_done);
        bool whole = c.sizes.size() == epochs;
        for (const auto& series : c.train) whole = whole && series.size() == epochs;
        for (const auto& series : c.validation) whole = whole && series.size() == epochs;
        if (!whole) in.bad("does not hold one value per epoch done");
    }
    {
        ByteIn in(find(random_tag, "random streams"), "its random streams");
        c.streams = get_random_streams(in);
        in.finish();
    }
    {
        ByteIn in(find(best_tag, "best network"), "its best network");
        c.best = get_network(in);
        in.finish();
    }
    c.optimizer = find(optimizer_tag, "optimizer state");
    c.driver = find(driver_tag, "driver state");
    return c;
}

RunCheckpoint load_checkpoint(const std::string& path, const std::string& version,
                              const RunArguments& arguments) {
    return checkpoint_from_sections(read_backup_file(path, version), arguments);
}

}  // namespace tessavo
