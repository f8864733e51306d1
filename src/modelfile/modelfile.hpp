// The ".tv" model file: one network as little-endian binary. The header
// (size, inputs, outputs as int32, one recurrent byte) is followed by the
// biases (float64), the activation codes (int32) and one 16-byte record
// (from, to as int32, weight as float64) per connection up to the end.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/network.hpp"

namespace tessavo {

inline constexpr int64_t model_header_bytes = 13;
inline constexpr int64_t model_node_bytes = 12;  // one bias and one code
inline constexpr int64_t model_record_bytes = 16;

// A file could not be opened, read, written or renamed. error_number is the
// errno of the failing call; what() names the call.
class ModelFileError : public std::runtime_error {
public:
    ModelFileError(int error_number, const std::string& what)
        : std::runtime_error(what), error_number(error_number) {}
    int error_number;
};

// The file's content is not a network; what() says what is wrong with it.
class MalformedModelFile : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Asked about every 50 ms during long file work and whenever a blocking
// call is interrupted by a signal; false abandons the call, which then
// throws FileWorkStopped after cleaning up.
using KeepGoing = std::function<bool()>;

class FileWorkStopped : public std::runtime_error {
public:
    FileWorkStopped() : std::runtime_error("file work stopped") {}
};

// Writes the network to path. The bytes go to a new file in the same folder
// (unnamed until complete where the file system allows), which is flushed
// to disk and then replaces path, and the folder is flushed too: after a
// crash path holds the old or the new file, whole. On failure
// (ModelFileError, FileWorkStopped) an existing file at path is left as it
// was and no temporary file remains.
void save_network_file(const Network& network, const std::string& path,
                       const KeepGoing& keep_going = {});

// Writes bytes to path as save_network_file writes a network.
void save_bytes_file(const std::vector<unsigned char>& bytes, const std::string& path,
                     const KeepGoing& keep_going = {});
// The same for a file made of pieces, written from where they are.
void save_pieces_file(const std::vector<std::span<const unsigned char>>& pieces,
                      const std::string& path, const KeepGoing& keep_going = {});

// The whole content of a file (ModelFileError, FileWorkStopped, or
// std::bad_alloc for a file larger than the memory at hand).
std::vector<unsigned char> read_bytes_file(const std::string& path,
                                           const KeepGoing& keep_going = {});

// Reads a network with a newly seeded engine and zero state. Throws
// ModelFileError, MalformedModelFile, FileWorkStopped, or std::bad_alloc
// (before allocating) for a network too large for the memory at hand.
Network load_network_file(const std::string& path, const KeepGoing& keep_going = {});
// The same with the engine seeded from seed, for callers that draw it from
// the random device themselves: the device seam is not guarded against
// threads, and file work may run beside others that use it.
Network load_network_file(const std::string& path, uint32_t seed, const KeepGoing& keep_going = {});

// The file's bytes for a network, in memory.
std::vector<unsigned char> network_bytes(const Network& network);

// A network from bytes in the file's layout, checked as load_network_file
// checks a file (MalformedModelFile, std::bad_alloc). Nothing is drawn: the
// engine is left in its default state for the caller to set.
Network network_from_bytes(const unsigned char* data, std::size_t size);

}  // namespace tessavo
