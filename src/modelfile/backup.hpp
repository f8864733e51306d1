// The backup file of a run: the whole state a killed run needs to go on
// exactly where its last backup left it. Its own versioned binary format
// (not the .tv model file), all fields little-endian:
//
//   magic      8 bytes   "TVRUNBAK"
//   format     uint32    backup_format_version
//   length     uint64    bytes in the file, checksum included
//   version    string    the tessavo version that wrote it
//   count      uint32    sections
//   sections   count x (tag: 4 ASCII bytes, size: uint64, size bytes)
//   checksum   uint32    CRC-32C of every byte before it
//
// A string is a uint32 byte count and UTF-8 bytes. What the sections hold is
// up to the run (run_backup.hpp); this layer only frames and checks them.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "modelfile/modelfile.hpp"
#include "network/network.hpp"
#include "random/sources.hpp"

namespace tessavo {

inline constexpr uint32_t backup_format_version = 1;

// A backup that cannot be used; what() says why, in words for the user.
class MalformedBackup : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

struct BackupSection {
    std::array<char, 4> tag;
    std::vector<unsigned char> bytes;
};

// CRC-32C (Castagnoli) of size bytes, continuing from crc (0 to start).
uint32_t crc32c(const unsigned char* data, std::size_t size, uint32_t crc = 0);

// The file's bytes for these sections.
std::vector<unsigned char> backup_bytes(const std::string& version,
                                        const std::vector<BackupSection>& sections);
// The sections of a file's bytes, after checking, in this order, that they
// are a backup at all, of this format, whole (length), undamaged (checksum),
// and written by this tessavo version. Throws MalformedBackup.
std::vector<BackupSection> backup_sections(const std::vector<unsigned char>& bytes,
                                           const std::string& version);

// Durable: written as save_network_file writes (write_backup_file writes
// bytes built by backup_bytes or a BackupBuilder) (a complete file replaces
// path atomically, flushed to disk with its folder).
void write_backup_file(const std::string& path, const std::vector<unsigned char>& bytes,
                       const KeepGoing& keep_going = {});
std::vector<BackupSection> read_backup_file(const std::string& path, const std::string& version,
                                            const KeepGoing& keep_going = {});

// ---- Fields of the sections. ----

class ByteOut {
public:
    void u8(uint8_t v) { bytes.push_back(v); }
    void raw(const void* data, std::size_t n);  // bytes as they are in memory
    void u32(uint32_t v);
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void u64(uint64_t v);
    void f64(double v);
    void str(const std::string& v);
    void f64s(const std::vector<double>& v);  // count (uint64), values
    void i32s(const std::vector<int32_t>& v);
    std::vector<unsigned char> bytes;
};

// Reads fields back; running past the end, or a count larger than what is
// left, throws MalformedBackup naming what.
class ByteIn {
public:
    ByteIn(const std::vector<unsigned char>& bytes, const char* what)
        : data_(bytes.data()), size_(bytes.size()), what_(what) {}
    uint8_t u8();
    bool flag();  // a byte that must be 0 or 1
    uint32_t u32();
    int32_t i32() { return static_cast<int32_t>(u32()); }
    uint64_t u64();
    double f64();
    std::string str();
    std::vector<double> f64s();
    std::vector<int32_t> i32s();
    // A count of items of item_bytes each that must fit in what is left.
    uint64_t count(std::size_t item_bytes);
    bool done() const { return at_ == size_; }
    std::size_t left() const { return size_ - at_; }
    // Throws unless every byte was read.
    void finish();
    [[noreturn]] void bad(const std::string& why) const;

private:
    const unsigned char* take(std::size_t n);
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    const char* what_;
};

// Builds a file's bytes in out, whose buffer is reused: the header, then
// each section's content as its writer appends it, then finish().
class BackupBuilder {
public:
    BackupBuilder(ByteOut& out, const std::string& version, uint32_t sections);
    template <class Write>
    void section(const std::array<char, 4>& tag, const Write& write) {
        const std::size_t size_at = begin_section(tag);
        write(out_);
        end_section(size_at);
    }
    void finish();

private:
    std::size_t begin_section(const std::array<char, 4>& tag);
    void end_section(std::size_t size_at);
    ByteOut& out_;
};

// A whole network record, its engine and node values included.
void put_network(ByteOut& out, const Network& network);
// Checked as a model file is (sizes, codes, links a network may hold).
Network get_network(ByteIn& in);

void put_random_streams(ByteOut& out, const RandomStreams& streams);
RandomStreams get_random_streams(ByteIn& in);

}  // namespace tessavo
