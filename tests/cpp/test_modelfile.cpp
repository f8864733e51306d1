#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "evolution/random.hpp"
#include "modelfile/modelfile.hpp"
#include "network/network.hpp"

namespace tessavo {
namespace {

using Bytes = std::vector<unsigned char>;

class ModelFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessavo-modelfile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + folder_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(folder_.c_str());
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        return names;
    }

    std::string folder_;
};

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// The two-input, one-output example with connections 0->2 and 1->2.
Network example_network() {
    Network network(2, 1, false);
    network.biases = {0.25, -0.5, 1.5};
    network.activations = {0, 1, 3};
    set_link(network, 0, 2, 0.5);
    set_link(network, 1, 2, -1.0);
    return network;
}

// Its file, spelt out byte by byte.
const Bytes example_bytes = {
    3, 0, 0, 0, 2, 0, 0,    0,    1, 0, 0, 0, 0,                 // size, inputs, outputs, flag
    0, 0, 0, 0, 0, 0, 0xD0, 0x3F,                                // 0.25
    0, 0, 0, 0, 0, 0, 0xE0, 0xBF,                                // -0.5
    0, 0, 0, 0, 0, 0, 0xF8, 0x3F,                                // 1.5
    0, 0, 0, 0, 1, 0, 0,    0,    3, 0, 0, 0,                    // codes
    0, 0, 0, 0, 2, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0xE0, 0x3F,  // 0 -> 2, 0.5
    1, 0, 0, 0, 2, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0xF0, 0xBF,  // 1 -> 2, -1.0
};

void expect_same_network(const Network& a, const Network& b) {
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.inputs, b.inputs);
    EXPECT_EQ(a.outputs, b.outputs);
    EXPECT_EQ(a.recurrent, b.recurrent);
    EXPECT_EQ(a.biases, b.biases);
    EXPECT_EQ(a.activations, b.activations);
    EXPECT_EQ(a.links, b.links);
    EXPECT_EQ(a.weights, b.weights);
}

TEST_F(ModelFileTest, WritesTheExampleByteForByte) {
    save_network_file(example_network(), path("m.tv"));
    EXPECT_EQ(read_bytes(path("m.tv")), example_bytes);
}

TEST_F(ModelFileTest, ReadsTheExample) {
    write_bytes(path("m.tv"), example_bytes);
    const Network loaded = load_network_file(path("m.tv"));
    expect_same_network(loaded, example_network());
    EXPECT_EQ(loaded.sums, std::vector<double>(3, 0.0));
    EXPECT_EQ(loaded.values, std::vector<double>(3, 0.0));
}

TEST_F(ModelFileTest, TrailingPartialRecordIsIgnored) {
    for (std::size_t extra = 1; extra < 16; ++extra) {
        Bytes bytes = example_bytes;
        bytes.insert(bytes.end(), extra, 0x7F);
        write_bytes(path("m.tv"), bytes);
        expect_same_network(load_network_file(path("m.tv")), example_network());
    }
}

TEST_F(ModelFileTest, AnyNonZeroFlagMeansRecurrent) {
    Bytes bytes = example_bytes;
    bytes[12] = 0x80;
    write_bytes(path("m.tv"), bytes);
    EXPECT_TRUE(load_network_file(path("m.tv")).recurrent);
}

class RoundTrip : public ModelFileTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, KeepsEveryStoredConnection) {
    const bool recurrent = GetParam();
    Network network(2, 2, recurrent);
    resize(network, 6);
    randomize_dense(network);
    // A self-connection and a backward connection: kept only when recurrent.
    set_link(network, 3, 3, 0.75);
    set_link(network, 4, 2, -2.5);
    Network expected = network;
    if (!recurrent) {
        clear_link(expected, 3, 3);
        clear_link(expected, 4, 2);
    }
    save_network_file(network, path("m.tv"));
    const std::size_t records = connection_count(expected);
    EXPECT_EQ(read_bytes(path("m.tv")).size(), 13 + 12 * 6 + 16 * records);
    expect_same_network(load_network_file(path("m.tv")), expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, RoundTrip, ::testing::Values(false, true));

TEST_F(ModelFileTest, BytesInMemoryMatchTheFileAndDrawNothing) {
    save_network_file(example_network(), path("m.tv"));
    const Bytes bytes = network_bytes(example_network());
    EXPECT_EQ(bytes, read_bytes(path("m.tv")));
    set_device_source([]() -> uint32_t { throw std::logic_error("drew from the device"); });
    const Network loaded = network_from_bytes(bytes.data(), bytes.size());
    set_device_source({});
    expect_same_network(loaded, example_network());
    EXPECT_THROW(network_from_bytes(bytes.data(), 20), MalformedModelFile);
}

TEST_F(ModelFileTest, NetworkWithoutConnections) {
    Network network(1, 1, true);
    resize(network, 4);
    save_network_file(network, path("m.tv"));
    EXPECT_EQ(read_bytes(path("m.tv")).size(), 13u + 12u * 4u);
    const Network loaded = load_network_file(path("m.tv"));
    EXPECT_EQ(loaded.size, 4);
    EXPECT_EQ(connection_count(loaded), 0u);
}

struct Malformed {
    const char* name;
    Bytes bytes;
    const char* message;
};

Bytes with_i32(Bytes bytes, std::size_t at, int32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

class MalformedFile : public ModelFileTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedFile, IsRefused) {
    write_bytes(path("m.tv"), GetParam().bytes);
    try {
        load_network_file(path("m.tv"));
        FAIL() << "loaded";
    } catch (const MalformedModelFile& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedFile,
    ::testing::Values(
        Malformed{"Empty", {}, "13-byte header"},
        Malformed{"ShortHeader", Bytes(example_bytes.begin(), example_bytes.begin() + 12),
                  "13-byte header"},
        Malformed{"ShortNodes", Bytes(example_bytes.begin(), example_bytes.begin() + 48),
                  "biases and activation codes of its 3 nodes (49 bytes needed)"},
        Malformed{"HugeSize", with_i32(example_bytes, 0, 1000000000), "1000000000 nodes"},
        Malformed{"NegativeSize", with_i32(example_bytes, 0, -3), "negative"},
        Malformed{"NegativeInputs", with_i32(example_bytes, 4, -1), "negative"},
        Malformed{"NegativeOutputs", with_i32(example_bytes, 8, INT32_MIN), "negative"},
        Malformed{"TooManyInputs", with_i32(example_bytes, 4, 3), "exceed size 3"},
        Malformed{"OverflowingSum", with_i32(with_i32(example_bytes, 4, INT32_MAX), 8, INT32_MAX),
                  "exceed size"},
        Malformed{"CodeAbove", with_i32(example_bytes, 41, 4), "node 1 has activation code 4"},
        Malformed{"CodeBelow", with_i32(example_bytes, 45, -1), "node 2 has activation code -1"},
        Malformed{"FromAbove", with_i32(example_bytes, 65, 3),
                  "record 1 (from 3 to 2) lies outside nodes 0 to 2"},
        Malformed{"ToBelow", with_i32(example_bytes, 53, -1), "record 0 (from 0 to -1)"},
        Malformed{"NoNodes", Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                  "there are none"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModelFileTest, FailuresToOpenCarryErrno) {
    try {
        load_network_file(path("missing.tv"));
        FAIL();
    } catch (const ModelFileError& e) {
        EXPECT_EQ(e.error_number, ENOENT);
    }
    try {
        load_network_file(folder_);
        FAIL();
    } catch (const ModelFileError& e) {
        EXPECT_EQ(e.error_number, EISDIR);
    }
    try {
        save_network_file(example_network(), path("missing/m.tv"));
        FAIL();
    } catch (const ModelFileError& e) {
        EXPECT_EQ(e.error_number, ENOENT);
    }
    try {
        save_network_file(example_network(), folder_);
        FAIL();
    } catch (const ModelFileError& e) {
        EXPECT_EQ(e.error_number, EISDIR);
    }
    EXPECT_TRUE(entries().empty());
}

TEST_F(ModelFileTest, SaveReplacesWithoutLeftoversAndKeepsPermissions) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    save_network_file(example_network(), path("new.tv"));
    struct stat status {};
    ASSERT_EQ(::stat(path("new.tv").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);

    write_bytes(path("old.tv"), Bytes(100, 1));
    ASSERT_EQ(::chmod(path("old.tv").c_str(), 0640), 0);
    save_network_file(example_network(), path("old.tv"));
    EXPECT_EQ(read_bytes(path("old.tv")), example_bytes);
    ASSERT_EQ(::stat(path("old.tv").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(ModelFileTest, SaveThroughLinkReplacesItsTarget) {
    write_bytes(path("real.tv"), Bytes(5, 0));
    ASSERT_EQ(::symlink("real.tv", path("link.tv").c_str()), 0);
    save_network_file(example_network(), path("link.tv"));
    struct stat status {};
    ASSERT_EQ(::lstat(path("link.tv").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(read_bytes(path("real.tv")), example_bytes);
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(ModelFileTest, StoppedFileWorkLeavesNothingBehind) {
    write_bytes(path("old.tv"), Bytes(100, 1));
    const KeepGoing stop = [] { return false; };
    EXPECT_THROW(save_network_file(example_network(), path("old.tv"), stop), FileWorkStopped);
    EXPECT_THROW(save_network_file(example_network(), path("new.tv"), stop), FileWorkStopped);
    EXPECT_THROW(load_network_file(path("old.tv"), stop), FileWorkStopped);
    EXPECT_EQ(read_bytes(path("old.tv")), Bytes(100, 1));
    EXPECT_EQ(entries(), std::vector<std::string>{"old.tv"});
}

}  // namespace
}  // namespace tessavo
