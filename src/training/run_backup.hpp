// A run's state at the end of an epoch, saved to a backup file and read
// back to resume the run there. The sections of the file (backup.hpp):
//
//   ARGS  the run's arguments: uint32 count, then (name, value) string pairs
//   EPOC  int32 epochs done
//   HIST  the history: per code its train values and its validation values
//         (count-prefixed float64 lists), then the sizes (int32 list)
//   RAND  every random stream the run draws from
//   BEST  the best network so far
//   OPTM  the optimizer's state, in its own layout
//   DRIV  the driver's state (the order of shuffled data)
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "modelfile/backup.hpp"
#include "network/network.hpp"
#include "random/sources.hpp"
#include "training/losses.hpp"

namespace tessavo {

// What a resumed run must share with the run that wrote its backup, as
// (name, value) pairs in words the user knows: "pop_size", "optimizer",
// "loss", the data's shapes and fingerprint. The epochs are not among them:
// a finished run may be continued for more.
using RunArguments = std::vector<std::pair<std::string, std::string>>;

// A cheap fingerprint of a dataset: its shape and a 64-bit hash of the
// bytes of up to 64 series spread evenly over it, first and last included.
std::string data_fingerprint(const SeriesView& data);

struct RunCheckpoint {
    RunArguments arguments;
    int32_t epochs_done = 0;
    std::vector<std::vector<double>> train;       // per code
    std::vector<std::vector<double>> validation;  // per code; empty without
    std::vector<int32_t> sizes;
    RandomStreams streams;
    Network best;
    std::vector<unsigned char> optimizer;
    std::vector<unsigned char> driver;
};

// The backup file's bytes, built in out (its buffer reused).
void checkpoint_bytes(const RunCheckpoint& checkpoint, const std::string& version, ByteOut& out);
// Writes the backup durably; buffer (when given) is reused for the bytes.
void save_checkpoint(const std::string& path, const std::string& version,
                     const RunCheckpoint& checkpoint, ByteOut* buffer = nullptr);

// Reads and checks a backup for a run with these arguments. Throws
// MalformedBackup saying why it cannot be used: not a backup, torn,
// truncated, of another format or tessavo version, or made by a run whose
// arguments differ (each difference named: "pop_size is 20 in the backup
// and 30 in this run").
RunCheckpoint load_checkpoint(const std::string& path, const std::string& version,
                              const RunArguments& arguments);
RunCheckpoint checkpoint_from_sections(const std::vector<BackupSection>& sections,
                                       const RunArguments& arguments);

}  // namespace tessavo
