#include "modelfile/backup.hpp"

#include <nmmintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "network/memory.hpp"

namespace tessavo {

namespace {

constexpr char backup_magic[8] = {'T', 'V', 'R', 'U', 'N', 'B', 'A', 'K'};
// magic, format, length
constexpr std::size_t fixed_header_bytes = 8 + 4 + 8;

constexpr std::array<uint32_t, 256> crc_table = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        table[i] = c;
    }
    return table;
}();

uint32_t le32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t le64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

namespace {

uint32_t crc32c_table(const unsigned char* data, std::size_t size, uint32_t crc) {
    for (std::size_t i = 0; i < size; ++i) crc = crc_table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc;
}

// The processor's CRC-32C instruction: the same values, eight bytes a step.
__attribute__((target("sse4.2"))) uint32_t crc32c_instruction(const unsigned char* data,
                                                              std::size_t size, uint32_t crc) {
    uint64_t c = crc;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        c = _mm_crc32_u64(c, word);
    }
    crc = static_cast<uint32_t>(c);
    for (; i < size; ++i) crc = _mm_crc32_u8(crc, data[i]);
    return crc;
}

const bool has_crc_instruction = __builtin_cpu_supports("sse4.2");

}  // namespace

uint32_t crc32c(const unsigned char* data, std::size_t size, uint32_t crc) {
    crc = ~crc;
    crc = has_crc_instruction ? crc32c_instruction(data, size, crc) : crc32c_table(data, size, crc);
    return ~crc;
}

// ---- Fields. ----

// Fields are little-endian: on such a host they are copied as they are.
static_assert(std::endian::native == std::endian::little, "fields are written as in memory");

void ByteOut::raw(const void* data, std::size_t n) {
    if (n == 0) return;  // data may be null then
    const std::size_t at = bytes.size();
    if (bytes.capacity() < at + n) bytes.reserve(std::max(2 * bytes.capacity(), at + n));
    bytes.resize(at + n);
    std::memcpy(bytes.data() + at, data, n);
}
void ByteOut::u32(uint32_t v) { raw(&v, 4); }
void ByteOut::u64(uint64_t v) { raw(&v, 8); }
void ByteOut::f64(double v) { u64(std::bit_cast<uint64_t>(v)); }
void ByteOut::str(const std::string& v) {
    u32(static_cast<uint32_t>(v.size()));
    bytes.insert(bytes.end(), v.begin(), v.end());
}
void ByteOut::f64s(const std::vector<double>& v) {
    u64(v.size());
    raw(v.data(), 8 * v.size());
}
void ByteOut::i32s(const std::vector<int32_t>& v) {
    u64(v.size());
    raw(v.data(), 4 * v.size());
}

void ByteIn::bad(const std::string& why) const {
    throw MalformedBackup(std::string(what_) + ": " + why);
}
const unsigned char* ByteIn::take(std::size_t n) {
    if (n > size_ - at_) bad("ends early");
    const unsigned char* p = data_ + at_;
    at_ += n;
    return p;
}
uint8_t ByteIn::u8() { return *take(1); }
bool ByteIn::flag() {
    const uint8_t v = u8();
    if (v > 1) bad("holds a flag that is neither 0 nor 1");
    return v == 1;
}
uint32_t ByteIn::u32() { return le32(take(4)); }
uint64_t ByteIn::u64() { return le64(take(8)); }
double ByteIn::f64() { return std::bit_cast<double>(u64()); }
uint64_t ByteIn::count(std::size_t item_bytes) {
    const uint64_t n = u64();
    if (n > (size_ - at_) / item_bytes) bad("holds a count larger than its bytes");
    return n;
}
std::string ByteIn::str() {
    const uint32_t n = u32();
    const unsigned char* p = take(n);
    return std::string(reinterpret_cast<const char*>(p), n);
}
std::vector<double> ByteIn::f64s() {
    std::vector<double> v(count(8));
    for (double& x : v) x = f64();
    return v;
}
std::vector<int32_t> ByteIn::i32s() {
    std::vector<int32_t> v(count(4));
    for (int32_t& x : v) x = i32();
    return v;
}
void ByteIn::finish() {
    if (!done()) bad("has bytes after its end");
}

// ---- Framing. ----

BackupBuilder::BackupBuilder(ByteOut& out, const std::string& version, uint32_t sections)
    : out_(out) {
    out.bytes.clear();
    out.raw(backup_magic, 8);
    out.u32(backup_format_version);
    out.u64(0);  // the length, filled in by finish
    out.str(version);
    out.u32(sections);
}

std::size_t BackupBuilder::begin_section(const std::array<char, 4>& tag) {
    out_.raw(tag.data(), 4);
    out_.u64(0);
    return out_.bytes.size() - 8;
}

void BackupBuilder::end_section(std::size_t size_at) {
    const uint64_t size = out_.bytes.size() - size_at - 8;
    std::memcpy(out_.bytes.data() + size_at, &size, 8);
}

void BackupBuilder::finish() {
    const uint64_t length = out_.bytes.size() + 4;
    std::memcpy(out_.bytes.data() + 12, &length, 8);
    out_.u32(crc32c(out_.bytes.data(), out_.bytes.size()));
}

std::vector<unsigned char> backup_bytes(const std::string& version,
                                        const std::vector<BackupSection>& sections) {
    ByteOut out;
    BackupBuilder builder(out, version, static_cast<uint32_t>(sections.size()));
    for (const BackupSection& section : sections) {
        builder.section(section.tag,
                        [&](ByteOut& o) { o.raw(section.bytes.data(), section.bytes.size()); });
    }
    builder.finish();
    return std::move(out.bytes);
}

std::vector<BackupSection> backup_sections(const std::vector<unsigned char>& bytes,
                                           const std::string& version) {
    const std::size_t size = bytes.size();
    const std::size_t magic_seen = std::min<std::size_t>(size, 8);
    if (magic_seen > 0 && std::memcmp(bytes.data(), backup_magic, magic_seen) != 0) {
        throw MalformedBackup("it is not a tessavo run backup");
    }
    if (size < fixed_header_bytes) {
        throw MalformedBackup("it is truncated: " + std::to_string(size) + " bytes");
    }
    const uint32_t format = le32(bytes.data() + 8);
    if (format != backup_format_version) {
        throw MalformedBackup("it is in backup format " + std::to_string(format) +
                              ", and this tessavo reads format " +
                              std::to_string(backup_format_version));
    }
    const uint64_t length = le64(bytes.data() + 12);
    if (size < length) {
        throw MalformedBackup("it is truncated: " + std::to_string(size) + " of its " +
                              std::to_string(length) + " bytes");
    }
    if (size > length || length < fixed_header_bytes + 4) {
        throw MalformedBackup("it is damaged: " + std::to_string(size) +
                              " bytes where its header says " + std::to_string(length));
    }
    if (crc32c(bytes.data(), size - 4) != le32(bytes.data() + size - 4)) {
        throw MalformedBackup("it is damaged: its checksum does not match its content");
    }
    const std::vector<unsigned char> body(bytes.begin() + fixed_header_bytes, bytes.end() - 4);
    ByteIn in(body, "its header");
    const std::string written_by = in.str();
    if (written_by != version) {
        throw MalformedBackup("it was written by tessavo " + written_by + ", and this is tessavo " +
                              version);
    }
    const uint32_t count = in.u32();
    std::vector<BackupSection> sections;
    for (uint32_t k = 0; k < count; ++k) {
        BackupSection section;
        for (char& c : section.tag) c = static_cast<char>(in.u8());
        const uint64_t n = in.count(1);
        section.bytes.resize(n);
        for (unsigned char& b : section.bytes) b = in.u8();
        sections.push_back(std::move(section));
    }
    in.finish();
    return sections;
}

void write_backup_file(const std::string& path, const std::vector<unsigned char>& bytes,
                       const KeepGoing& keep_going) {
    save_bytes_file(bytes, path, keep_going);
}

std::vector<BackupSection> read_backup_file(const std::string& path, const std::string& version,
                                            const KeepGoing& keep_going) {
    return backup_sections(read_bytes_file(path, keep_going), version);
}

// ---- Networks and streams. ----

void put_network(ByteOut& out, const Network& network) {
    const auto n = static_cast<std::size_t>(network.size);
    if (network.size < 0 || network.biases.size() != n || network.activations.size() != n ||
        network.sums.size() != n || network.values.size() != n || network.links.size() != n * n ||
        network.weights.size() != n * n) {
        throw std::logic_error("The network's vectors do not match its size.");
    }
    out.i32(network.size);
    out.i32(network.inputs);
    out.i32(network.outputs);
    out.u8(network.recurrent ? 1 : 0);
    for (const uint32_t word : network.rng.state()) out.u32(word);
    out.raw(network.biases.data(), 8 * n);
    out.raw(network.activations.data(), 4 * n);
    out.raw(network.sums.data(), 8 * n);
    out.raw(network.values.data(), 8 * n);
    // The link matrix as bits (entry k at bit k % 8 of byte k / 8), then
    // the weight of every set link in matrix order; a cleared link's
    // weight is 0.
    const std::size_t links = connection_count(network);
    const std::size_t at = out.bytes.size();
    out.bytes.resize(at + (n * n + 7) / 8 + 8 * links, 0);
    unsigned char* bits = out.bytes.data() + at;
    unsigned char* p = bits + (n * n + 7) / 8;
    for (std::size_t k = 0; k < n * n; ++k) {
        if (network.links[k] == 0) continue;
        bits[k / 8] = static_cast<unsigned char>(bits[k / 8] | (1u << (k % 8)));
        std::memcpy(p, &network.weights[k], 8);
        p += 8;
    }
}

Network get_network(ByteIn& in) {
    const int32_t size = in.i32();
    const int32_t inputs = in.i32();
    const int32_t outputs = in.i32();
    const bool recurrent = in.flag();
    if (inputs < 1 || outputs < 1 || size < inputs + outputs ||
        static_cast<int64_t>(size) > std::numeric_limits<int32_t>::max() / 2) {
        in.bad("holds a network of impossible dimensions");
    }
    std::array<uint32_t, 4> words{};
    for (uint32_t& word : words) word = in.u32();
    // Each node takes 28 bytes: a short record fails before allocating.
    if (static_cast<uint64_t>(size) * 28 > in.left()) in.bad("ends early");
    Network network;
    network.inputs = inputs;
    network.outputs = outputs;
    network.recurrent = recurrent;
    if (!network.rng.set_state(words)) in.bad("holds a network engine with an impossible state");
    check_fits_in_memory(size);
    resize(network, size);
    const auto n = static_cast<std::size_t>(size);
    for (std::size_t i = 0; i < n; ++i) network.biases[i] = in.f64();
    for (std::size_t i = 0; i < n; ++i) {
        network.activations[i] = in.i32();
        if (network.activations[i] < 0 || network.activations[i] >= activation_count) {
            in.bad("holds an unknown activation code");
        }
    }
    for (std::size_t i = 0; i < n; ++i) network.sums[i] = in.f64();
    for (std::size_t i = 0; i < n; ++i) network.values[i] = in.f64();
    if ((n * n + 7) / 8 > in.left()) in.bad("ends early");
    std::vector<uint8_t> bits((n * n + 7) / 8);
    for (uint8_t& b : bits) b = in.u8();
    if (n * n % 8 != 0 && (bits.back() >> (n * n % 8)) != 0) {
        in.bad("holds a link outside its network");
    }
    for (std::size_t k = 0; k < n * n; ++k) {
        if (((bits[k / 8] >> (k % 8)) & 1u) == 0) continue;
        const auto from = static_cast<int32_t>(k % n);
        const auto to = static_cast<int32_t>(k / n);
        if (!link_allowed(network, from, to)) in.bad("holds a link its network may not have");
        set_link(network, from, to, in.f64());
    }
    return network;
}

void put_random_streams(ByteOut& out, const RandomStreams& streams) {
    auto generator = [&](const CGenerator::State& state) {
        for (const uint32_t word : state.words) out.u32(word);
        out.i32(state.front);
        out.i32(state.rear);
    };
    out.u8(streams.item_scope ? 1 : 0);
    if (streams.item_scope) {
        for (const uint32_t word : streams.item.engine.state()) out.u32(word);
        out.u8(streams.item.c_seeded ? 1 : 0);
        generator(streams.item.c_generator);
        return;
    }
    for (const uint32_t word : streams.fresh.engine.state()) out.u32(word);
    out.u32(streams.fresh.left);
    out.u8(streams.device_seeded ? 1 : 0);
    out.u64(streams.device_state);
    generator(streams.c_generator);
    out.u8(streams.activation_flag ? 1 : 0);
    out.u8(streams.random_int_flag ? 1 : 0);
}

RandomStreams get_random_streams(ByteIn& in) {
    auto engine = [&] {
        std::array<uint32_t, 4> words{};
        for (uint32_t& word : words) word = in.u32();
        RandomEngine e;
        if (!e.set_state(words)) in.bad("holds an engine with an impossible state");
        return e;
    };
    auto generator = [&] {
        CGenerator::State state;
        for (uint32_t& word : state.words) word = in.u32();
        state.front = in.i32();
        state.rear = in.i32();
        if (!CGenerator().set_state(state)) in.bad("holds an impossible C generator state");
        return state;
    };
    RandomStreams streams;
    streams.item_scope = in.flag();
    if (streams.item_scope) {
        streams.item.engine = engine();
        streams.item.c_seeded = in.flag();
        streams.item.c_generator = generator();
        return streams;
    }
    streams.fresh.engine = engine();
    streams.fresh.left = in.u32();
    streams.device_seeded = in.flag();
    streams.device_state = in.u64();
    streams.c_generator = generator();
    streams.activation_flag = in.flag();
    streams.random_int_flag = in.flag();
    return streams;
}

}  // namespace tessavo
