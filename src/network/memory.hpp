// Memory guards: what this process can still obtain, and estimates of what
// the operations need, so that an oversized request ends in std::bad_alloc
// before anything is allocated instead of in the kernel's OOM killer.
#pragma once

#include <cstdint>
#include <new>
#include <string>

namespace tessavo {

// A request that does not fit; what() says how much was needed and found.
class MemoryShortage : public std::bad_alloc {
public:
    explicit MemoryShortage(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Bytes this process can still obtain: the smallest of MemAvailable, the
// cgroup's limit minus its usage and the address-space limit minus the
// address space in use. UINT64_MAX when none of them is known. Reads /proc
// and /sys: call it once per operation, never per network.
uint64_t available_memory();

// Throws MemoryShortage when bytes exceed available_memory(); what names the
// operation in the message. Requests below 64 MiB are let through without
// asking the platform, which costs far more than they do: if one of them
// fails, the allocation itself says so.
void require_memory(long double bytes, const char* what);

// ---- Estimates, in bytes, of every buffer kind (allocator overhead included).

// One Network record of n nodes: both matrices, the node vectors, the engine.
long double network_record_bytes(long double n);
// The scoring form of one network of n nodes (at most n * n connections).
long double plan_bytes(long double n);
// A generation at its peak: P parents, 2P children, the pool and the
// survivors copied out of it (or, in function evolution, the 2P genomes
// handed to the user), plus the best copy and the scoring plans.
long double population_bytes(long double n, long double count);
// A float64 copy of an array of elements values (NumPy's conversion).
long double float64_bytes(long double elements);

}  // namespace tessavo
