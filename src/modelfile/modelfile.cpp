#include "modelfile/modelfile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "network/memory.hpp"
#include "random/sources.hpp"

namespace tessavo {

namespace {

// ---- Little-endian fields, independent of the host's byte order. ----

void put_u32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_u64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_i32(unsigned char* p, int32_t v) { put_u32(p, static_cast<uint32_t>(v)); }
void put_f64(unsigned char* p, double v) { put_u64(p, std::bit_cast<uint64_t>(v)); }

uint32_t get_u32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
uint64_t get_u64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
int32_t get_i32(const unsigned char* p) { return static_cast<int32_t>(get_u32(p)); }
double get_f64(const unsigned char* p) { return std::bit_cast<double>(get_u64(p)); }

[[noreturn]] void fail(const char* call, const std::string& path) {
    const int error_number = errno;
    throw ModelFileError(error_number,
                         std::string(call) + " " + path + ": " + std::strerror(error_number));
}
[[noreturn]] void fail_with(int error_number, const char* call, const std::string& path) {
    errno = error_number;
    fail(call, path);
}

// Closes a descriptor left open by a failure; the success paths close it
// themselves so that the result of close() is checked.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    void close(const std::string& path) {
        const int closing = std::exchange(fd, -1);
        if (::close(closing) != 0) fail("close", path);
    }
};

constexpr std::size_t buffer_bytes = 1 << 16;

// Asks keep_going at most every 50 ms, and whenever a call was interrupted.
struct Pacer {
    const KeepGoing& keep_going;
    std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now();

    void poll() {
        if (keep_going && std::chrono::steady_clock::now() >= next) ask();
    }
    void ask() {
        if (keep_going && !keep_going()) throw FileWorkStopped();
        next = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    }
};

// open() that retries when a signal interrupts it (a FIFO waits for its
// writer), after asking whether to go on.
int open_interruptible(const char* name, int flags, Pacer& pacer, mode_t mode = 0) {
    while (true) {
        const int fd = ::open(name, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        pacer.ask();
    }
}

// ---- Writing. ----

struct Writer {
    int fd;
    const std::string& path;
    Pacer& pacer;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(buffer_bytes);
    std::size_t used = 0;

    unsigned char* reserve(std::size_t n) {
        if (used + n > buffer.size()) flush();
        unsigned char* at = buffer.data() + used;
        used += n;
        return at;
    }
    void flush() {
        write_out(buffer.data(), used);
        used = 0;
    }
    // Writes bytes straight from the caller's memory, after the buffer's.
    void direct(const unsigned char* p, std::size_t n) {
        flush();
        write_out(p, n);
    }
    void write_out(const unsigned char* p, std::size_t left) {
        while (left > 0) {
            const ssize_t written = ::write(fd, p, left);
            if (written < 0) {
                if (errno != EINTR) fail("write", path);
                pacer.ask();
                continue;
            }
            if (written == 0) fail_with(EIO, "write", path);
            p += written;
            left -= static_cast<std::size_t>(written);
            pacer.poll();
        }
    }
    void poll() { pacer.poll(); }
};

// Bytes in memory: the same layout for pickling and copying.
struct ByteWriter {
    std::vector<unsigned char>& bytes;
    unsigned char* reserve(std::size_t n) {
        bytes.resize(bytes.size() + n);
        return bytes.data() + bytes.size() - n;
    }
    void flush() {}
    void poll() {}
};

template <class Out>
void write_network(Out& out, const Network& network) {
    const int32_t n = network.size;
    const std::size_t count = static_cast<std::size_t>(n);
    // A record whose vectors disagree with its size would be read outside.
    if (n < 0 || network.biases.size() != count || network.activations.size() != count ||
        network.links.size() != count * count || network.weights.size() != count * count) {
        throw std::logic_error("The network's vectors do not match its size.");
    }
    unsigned char* header = out.reserve(model_header_bytes);
    put_i32(header, n);
    put_i32(header + 4, network.inputs);
    put_i32(header + 8, network.outputs);
    header[12] = network.recurrent ? 1 : 0;
    for (int32_t i = 0; i < n; ++i) put_f64(out.reserve(8), network.biases[i]);
    for (int32_t i = 0; i < n; ++i) put_i32(out.reserve(4), network.activations[i]);
    // Row by row; a feed-forward network keeps only its forward connections.
    for (int32_t from = 0; from < n; ++from) {
        out.poll();
        for (int32_t to = network.recurrent ? 0 : from + 1; to < n; ++to) {
            if (!has_link(network, from, to)) continue;
            unsigned char* record = out.reserve(model_record_bytes);
            put_i32(record, from);
            put_i32(record + 4, to);
            put_f64(record + 8, weight(network, from, to));
        }
    }
    out.flush();
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file a chain of symbolic links ends at when that file does not exist
// yet; path itself when it is no link.
std::string link_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat entry {};
        if (::lstat(current.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return current;
        std::vector<char> buffer(4096);
        const ssize_t length = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (length < 0) fail("readlink", path);
        if (static_cast<std::size_t>(length) == buffer.size())
            fail_with(ENAMETOOLONG, "open", path);
        std::string link(buffer.data(), static_cast<std::size_t>(length));
        current = !link.empty() && link.front() == '/' ? link : folder_of(current) + "/" + link;
    }
    fail_with(ELOOP, "open", path);
}

// A new file in folder that no one else has opened, created with 0666 so
// that the kernel applies the umask as it would for the target itself.
int create_temporary(const std::string& folder, std::string& name) {
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/.tessavo-" + std::to_string(::getpid()) + "-" +
               std::to_string(stamp + attempt) + ".tmp";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Devices and pipes cannot be replaced by a rename; they get the bytes directly.
template <class Emit>
void write_in_place(const Emit& emit, const std::string& path, Pacer& pacer) {
    Descriptor file{open_interruptible(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, pacer)};
    if (file.fd < 0) fail("open", path);
    Writer out{file.fd, path, pacer};
    emit(out);
    file.close(path);
}

// Flushes the folder's entries, so that a completed rename survives a crash.
// File systems that cannot flush a folder say EINVAL; there is nothing to do.
void sync_folder(const std::string& folder, const std::string& path) {
    Descriptor directory{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (directory.fd < 0) return;
    if (::fsync(directory.fd) != 0 && errno != EINVAL && errno != EROFS) fail("fsync", path);
    directory.close(path);
}

// Gives the unnamed file fd a unique name in folder; false when this system
// cannot (no /proc, or no O_TMPFILE linking), with errno set.
bool name_unnamed(int fd, const std::string& folder, std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/.tessavo-" + std::to_string(::getpid()) + "-" +
               std::to_string(stamp + attempt) + ".tmp";
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

// ---- Reading. ----

struct Reader {
    int fd;
    const std::string& path;
    Pacer& pacer;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(buffer_bytes);
    std::size_t position = 0;
    std::size_t end = 0;
    bool at_end = false;

    // Reads up to n bytes; fewer only at the end of the file.
    std::size_t read(unsigned char* to, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (position == end) {
                if (at_end || !refill()) break;
            }
            const std::size_t take = std::min(n - got, end - position);
            std::memcpy(to + got, buffer.data() + position, take);
            position += take;
            got += take;
        }
        return got;
    }
    bool refill() {
        pacer.poll();
        ssize_t got;
        while ((got = ::read(fd, buffer.data(), buffer.size())) < 0 && errno == EINTR) {
            pacer.ask();
        }
        if (got < 0) fail("read", path);
        position = 0;
        end = static_cast<std::size_t>(got);
        at_end = got == 0;
        return got > 0;
    }
};

// Bytes in memory, read like a file.
struct ByteReader {
    const unsigned char* data;
    std::size_t size;
    std::size_t position = 0;

    std::size_t read(unsigned char* to, std::size_t n) {
        const std::size_t take = std::min(n, size - position);
        if (take > 0) std::memcpy(to, data + position, take);
        position += take;
        return take;
    }
};

// The layout from a source with read(to, n); length is the number of bytes
// it holds, or -1 when unknown (a pipe or device). The engine is left in
// its default state for the caller to set.
template <class In>
Network read_network(In& in, int64_t length) {
    unsigned char header[model_header_bytes];
    if (in.read(header, sizeof header) < sizeof header) {
        throw MalformedModelFile("shorter than its 13-byte header");
    }
    const int32_t n = get_i32(header);
    const int32_t inputs = get_i32(header + 4);
    const int32_t outputs = get_i32(header + 8);
    const bool recurrent = header[12] != 0;
    if (n < 0 || inputs < 0 || outputs < 0) {
        throw MalformedModelFile("negative size, inputs or outputs (size " + std::to_string(n) +
                                 ", inputs " + std::to_string(inputs) + ", outputs " +
                                 std::to_string(outputs) + ")");
    }
    if (static_cast<int64_t>(inputs) + outputs > n) {
        throw MalformedModelFile("inputs + outputs (" + std::to_string(inputs) + " + " +
                                 std::to_string(outputs) + ") exceed size " + std::to_string(n));
    }

    // The declared size is checked against the data actually present before
    // anything of that size is allocated: the node section is read in chunks,
    // so even a pipe claiming a huge size only costs what it delivers.
    const int64_t node_bytes = model_node_bytes * n;
    const std::string too_short =
        "shorter than the biases and activation codes of its " + std::to_string(n) + " nodes (" +
        std::to_string(model_header_bytes + node_bytes) + " bytes needed)";
    if (length >= 0 && length < model_header_bytes + node_bytes) {
        throw MalformedModelFile(too_short);
    }
    // The network and the node section read below, against what this process
    // can get (a device or pipe has no length to check the size against).
    const std::string what = "Loading a network of " + std::to_string(n) + " nodes";
    require_memory(network_record_bytes(n) + static_cast<long double>(node_bytes), what.c_str());
    std::vector<unsigned char> nodes;
    while (nodes.size() < static_cast<std::size_t>(node_bytes)) {
        const std::size_t had = nodes.size();
        const std::size_t chunk =
            std::min<std::size_t>(static_cast<std::size_t>(node_bytes) - had, 1 << 20);
        nodes.resize(had + chunk);
        if (in.read(nodes.data() + had, chunk) < chunk) throw MalformedModelFile(too_short);
    }
    const unsigned char* codes = nodes.data() + 8 * static_cast<std::size_t>(n);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t code = get_i32(codes + 4 * static_cast<std::size_t>(i));
        if (code < 0 || code >= activation_count) {
            throw MalformedModelFile("node " + std::to_string(i) + " has activation code " +
                                     std::to_string(code) + ", outside 0 to 3");
        }
    }

    Network network;
    network.inputs = inputs;
    network.outputs = outputs;
    network.recurrent = recurrent;
    resize(network, n);
    for (int32_t i = 0; i < n; ++i) {
        network.biases[i] = get_f64(nodes.data() + 8 * static_cast<std::size_t>(i));
        network.activations[i] = get_i32(codes + 4 * static_cast<std::size_t>(i));
    }

    // Records up to the end; a trailing partial record is ignored.
    unsigned char record[model_record_bytes];
    for (int64_t index = 0; in.read(record, sizeof record) == sizeof record; ++index) {
        const int32_t from = get_i32(record);
        const int32_t to = get_i32(record + 4);
        if (from < 0 || from >= n || to < 0 || to >= n) {
            throw MalformedModelFile("connection record " + std::to_string(index) + " (from " +
                                     std::to_string(from) + " to " + std::to_string(to) + ") " +
                                     (n == 0 ? std::string("names a node, but there are none")
                                             : "lies outside nodes 0 to " + std::to_string(n - 1)));
        }
        if (!link_allowed(network, from, to)) {
            throw MalformedModelFile(
                "connection record " + std::to_string(index) + " (from " + std::to_string(from) +
                " to " + std::to_string(to) + ") " +
                (to < inputs ? "goes into an input node"
                             : "does not go to a higher node in a feed-forward network"));
        }
        set_link(network, from, to, get_f64(record + 8));
    }
    return network;
}

}  // namespace

namespace {

// Writes a file through emit as save_network_file describes.
template <class Emit>
void replace_file(const std::string& path, const KeepGoing& keep_going, const Emit& emit) {
    Pacer pacer{keep_going};
    std::string target = path;
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (!exists && errno != ENOENT) fail("stat", path);
    // A link to a file not made yet keeps the link and makes the file.
    if (!exists) target = link_target(path);
    if (exists) {
        if (S_ISDIR(existing.st_mode)) fail_with(EISDIR, "open", path);
        if (!S_ISREG(existing.st_mode)) return write_in_place(emit, path, pacer);
        // A file the caller may not write is not replaced either.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) fail("open", path);
        // Through a symbolic link, replace the file it names and keep the link.
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
            char* resolved = ::realpath(path.c_str(), nullptr);
            if (!resolved) fail("realpath", path);
            target = resolved;
            std::free(resolved);
        }
    }
    const std::string folder = folder_of(target);

    // Writes the whole file to fd and flushes it to disk.
    auto fill = [&](int fd, const std::string& name) {
        if (exists) {
            // Keep the replaced file's owner where allowed (only root may give
            // a file away; otherwise the saver owns the new file) and its
            // permission bits, without set-id bits.
            if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
                [[maybe_unused]] const int ignored = ::fchown(fd, existing.st_uid, existing.st_gid);
            }
            if (::fchmod(fd, existing.st_mode & 0777) != 0) fail("chmod", name);
        }
        Writer out{fd, path, pacer};
        emit(out);
        // On disk before the rename, so a crash leaves the old or the new file.
        if (::fsync(fd) != 0) fail("fsync", path);
    };

    // An unnamed file vanishes with the process if it dies while writing; it
    // gets a name only once complete, just before the rename. Created with
    // 0666 so that the kernel applies the umask as for the target itself.
    std::string temporary;
    Descriptor file{::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)};
    if (file.fd >= 0) {
        fill(file.fd, path);
        if (!name_unnamed(file.fd, folder, temporary)) {
            // Linking needs /proc; without it, write a named file instead.
            ::close(std::exchange(file.fd, -1));
            temporary.clear();
        }
    }
    if (temporary.empty()) {
        file.fd = create_temporary(folder, temporary);
        if (file.fd < 0) fail("open", path);
        try {
            fill(file.fd, temporary);
        } catch (...) {
            ::close(std::exchange(file.fd, -1));
            ::unlink(temporary.c_str());
            throw;
        }
    }
    try {
        file.close(path);
        if (::rename(temporary.c_str(), target.c_str()) != 0) fail("rename", path);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    sync_folder(folder, path);
}

}  // namespace

void save_network_file(const Network& network, const std::string& path,
                       const KeepGoing& keep_going) {
    replace_file(path, keep_going, [&](Writer& out) { write_network(out, network); });
}

void save_bytes_file(const std::vector<unsigned char>& bytes, const std::string& path,
                     const KeepGoing& keep_going) {
    save_pieces_file({{bytes.data(), bytes.size()}}, path, keep_going);
}

void save_pieces_file(const std::vector<std::span<const unsigned char>>& pieces,
                      const std::string& path, const KeepGoing& keep_going) {
    replace_file(path, keep_going, [&](Writer& out) {
        for (const auto& piece : pieces) out.direct(piece.data(), piece.size());
    });
}

Network load_network_file(const std::string& path, const KeepGoing& keep_going) {
    return load_network_file(path, device_value(), keep_going);
}

Network load_network_file(const std::string& path, uint32_t seed, const KeepGoing& keep_going) {
    Pacer pacer{keep_going};
    Descriptor file{open_interruptible(path.c_str(), O_RDONLY | O_CLOEXEC, pacer)};
    if (file.fd < 0) fail("open", path);
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) fail("stat", path);
    if (S_ISDIR(status.st_mode)) fail_with(EISDIR, "read", path);
    Reader in{file.fd, path, pacer};
    Network network = read_network(in, S_ISREG(status.st_mode) ? status.st_size : -1);
    network.rng.seed(seed);
    file.close(path);
    return network;
}

std::vector<unsigned char> read_bytes_file(const std::string& path, const KeepGoing& keep_going) {
    Pacer pacer{keep_going};
    Descriptor file{open_interruptible(path.c_str(), O_RDONLY | O_CLOEXEC, pacer)};
    if (file.fd < 0) fail("open", path);
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) fail("stat", path);
    if (S_ISDIR(status.st_mode)) fail_with(EISDIR, "read", path);
    if (S_ISREG(status.st_mode)) {
        require_memory(static_cast<long double>(status.st_size), "The file's bytes");
    }
    Reader in{file.fd, path, pacer};
    std::vector<unsigned char> bytes;
    unsigned char piece[1 << 16];
    for (std::size_t got; (got = in.read(piece, sizeof piece)) > 0;) {
        bytes.insert(bytes.end(), piece, piece + got);
    }
    file.close(path);
    return bytes;
}

std::vector<unsigned char> network_bytes(const Network& network) {
    std::vector<unsigned char> bytes;
    ByteWriter out{bytes};
    write_network(out, network);
    return bytes;
}

Network network_from_bytes(const unsigned char* data, std::size_t size) {
    ByteReader in{data, size};
    return read_network(in, static_cast<int64_t>(size));
}

}  // namespace tessavo
