#include "network/memory.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "network/network.hpp"

namespace tessavo {

namespace {

constexpr uint64_t unknown = std::numeric_limits<uint64_t>::max();
// glibc's heap keeps 16 bytes per block and rounds blocks to 16 bytes.
constexpr long double block_overhead = 32.0L;

// The first number after key in a "key: value kB" file such as /proc/meminfo.
uint64_t proc_field_kib(const char* file, const char* key) {
    std::ifstream in(file);
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, length, key) != 0) continue;
        unsigned long long kib = 0;
        if (std::sscanf(line.c_str() + length, " %llu", &kib) != 1) return unknown;
        return static_cast<uint64_t>(kib) * 1024;
    }
    return unknown;
}

// A cgroup file holding one number, or "max"; unknown when absent.
uint64_t cgroup_number(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text == "max") return unknown;
    unsigned long long value = 0;
    if (std::sscanf(text.c_str(), "%llu", &value) != 1) return unknown;
    return static_cast<uint64_t>(value);
}

// Room left under one cgroup's limit; v1 reports "no limit" as a huge number.
uint64_t cgroup_room(const std::string& folder, const char* limit_file, const char* usage_file) {
    const uint64_t limit = cgroup_number(folder + "/" + limit_file);
    if (limit == unknown || limit >= (uint64_t{1} << 62)) return unknown;
    const uint64_t usage = cgroup_number(folder + "/" + usage_file);
    if (usage == unknown) return unknown;
    return usage >= limit ? 0 : limit - usage;
}

// The tightest limit of this process's memory cgroup and its ancestors, v2
// or v1. Inside a container the cgroup's path is often not visible below
// the mount point; the mount point itself is then the process's group.
uint64_t cgroup_available() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    uint64_t room = unknown;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        std::string root, limit, usage;
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            root = "/sys/fs/cgroup";
            limit = "memory.max";
            usage = "memory.current";
        } else if ((',' + controllers + ',').find(",memory,") != std::string::npos) {
            root = "/sys/fs/cgroup/memory";
            limit = "memory.limit_in_bytes";
            usage = "memory.usage_in_bytes";
        } else {
            continue;
        }
        while (true) {
            room = std::min(room, cgroup_room(root + path, limit.c_str(), usage.c_str()));
            if (path.empty() || path == "/") break;
            path = path.substr(0, path.rfind('/'));
        }
        room = std::min(room, cgroup_room(root, limit.c_str(), usage.c_str()));
    }
    return room;
}

uint64_t address_space_available() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return unknown;
    const uint64_t used = proc_field_kib("/proc/self/status", "VmSize:");
    if (used == unknown) return unknown;
    return used >= limit.rlim_cur ? 0 : limit.rlim_cur - used;
}

std::string mebibytes(long double bytes) {
    std::ostringstream text;
    text.precision(1);
    text << std::fixed << bytes / (1024.0L * 1024.0L) << " MiB";
    return text.str();
}

}  // namespace

uint64_t available_memory() {
    return std::min({proc_field_kib("/proc/meminfo", "MemAvailable:"), cgroup_available(),
                     address_space_available()});
}

void require_memory(long double bytes, const char* what) {
    constexpr long double small_request = 64.0L * 1024 * 1024;
    if (bytes < small_request) return;
    const uint64_t available = available_memory();
    if (available == unknown || bytes <= static_cast<long double>(available)) return;
    throw MemoryShortage(std::string(what) + " needs about " + mebibytes(bytes) +
                         " of memory, but this process can get only " +
                         mebibytes(static_cast<long double>(available)) + ".");
}

long double network_record_bytes(long double n) {
    // Weights (double) and links (one byte) are n x n; biases, sums, values
    // (double) and activation codes (int32) have n entries; six heap blocks.
    return n * n * (sizeof(double) + sizeof(uint8_t)) + n * (3 * sizeof(double) + sizeof(int32_t)) +
           sizeof(Network) + 6 * block_overhead;
}

long double plan_bytes(long double n) {
    // Every possible connection as a source index and a weight, the node
    // tables, and the lane state of one block of 16 passes.
    return n * n * (sizeof(int32_t) + sizeof(double)) +
           n * (sizeof(uint32_t) + sizeof(double) + sizeof(int32_t)) + n * 16 * 2 * sizeof(double) +
           6 * block_overhead;
}

long double population_bytes(long double n, long double count) {
    return (network_record_bytes(n) + plan_bytes(n)) * (4.0L * count + 2.0L);
}

long double float64_bytes(long double elements) { return elements * sizeof(double); }

}  // namespace tessavo
