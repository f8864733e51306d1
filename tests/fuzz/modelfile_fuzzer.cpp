// libFuzzer target for the .tv reader: any input either loads as a network
// that keeps its invariants and runs a forward pass, or is refused with one
// of the reader's exceptions. Sanitizers report everything else.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "modelfile/modelfile.hpp"
#include "network/network.hpp"

using namespace tessavo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // A file in memory, read through its /proc path as load reads any file.
    static const int fd = ::memfd_create("tv", 0);
    if (fd < 0) std::abort();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        Network network = load_network_file(path);
        const auto n = static_cast<std::size_t>(network.size);
        if (network.inputs < 0 || network.outputs < 0 ||
            network.inputs + network.outputs > network.size || network.biases.size() != n ||
            network.activations.size() != n || network.weights.size() != n * n ||
            network.links.size() != n * n) {
            std::abort();
        }
        for (const int32_t code : network.activations) {
            if (code < 0 || code >= activation_count) std::abort();
        }
        std::vector<double> input(static_cast<std::size_t>(network.inputs), 0.5);
        forward(network, input);
    } catch (const MalformedModelFile&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
