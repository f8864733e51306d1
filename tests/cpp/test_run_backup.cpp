#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "evolution_support.hpp"
#include "modelfile/backup.hpp"
#include "network/network.hpp"
#include "training/alpha.hpp"
#include "training/beta.hpp"
#include "training/gamma.hpp"
#include "training/optimizer.hpp"
#include "training/population.hpp"
#include "training/run_backup.hpp"

namespace tessavo::testing {
namespace {

RunCheckpoint sample_checkpoint() {
    seed_sources(3);
    RunCheckpoint c;
    c.arguments = {{"pop_size", "20"}, {"optimizer", "Alpha()"}, {"loss", "mse"}};
    c.epochs_done = 2;
    c.train = {{0.5, 0.25}, {1.0, 2.0}};
    c.validation = {{0.75, 0.5}, {3.0, 4.0}};
    c.sizes = {5, 6};
    c.best = Network(2, 1, true);
    set_link(c.best, 2, 2, -1.5);  // a self link, which only a recurrent network has
    c.best.values[2] = 0.125;
    c.best.rng();
    c.streams = capture_random_streams();
    c.optimizer = {1, 2, 3};
    c.driver = {4, 5};
    unseed_sources();
    return c;
}

void expect_same_network(const Network& a, const Network& b) {
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.inputs, b.inputs);
    EXPECT_EQ(a.outputs, b.outputs);
    EXPECT_EQ(a.recurrent, b.recurrent);
    EXPECT_EQ(a.biases, b.biases);
    EXPECT_EQ(a.activations, b.activations);
    EXPECT_EQ(a.sums, b.sums);
    EXPECT_EQ(a.values, b.values);
    EXPECT_EQ(a.weights, b.weights);
    EXPECT_EQ(a.links, b.links);
    EXPECT_EQ(a.rng, b.rng);
}

std::vector<unsigned char> file_of(const RunCheckpoint& c) {
    ByteOut out;
    checkpoint_bytes(c, "1.0", out);
    return out.bytes;
}

std::string refusal(const std::vector<unsigned char>& bytes, const RunArguments& arguments,
                    const std::string& version = "1.0") {
    try {
        checkpoint_from_sections(backup_sections(bytes, version), arguments);
    } catch (const MalformedBackup& error) {
        return error.what();
    }
    return "";
}

TEST(RunBackup, RoundTripsEveryField) {
    const RunCheckpoint c = sample_checkpoint();
    const auto bytes = file_of(c);
    const RunCheckpoint back = checkpoint_from_sections(backup_sections(bytes, "1.0"), c.arguments);
    EXPECT_EQ(back.arguments, c.arguments);
    EXPECT_EQ(back.epochs_done, 2);
    EXPECT_EQ(back.train, c.train);
    EXPECT_EQ(back.validation, c.validation);
    EXPECT_EQ(back.sizes, c.sizes);
    expect_same_network(back.best, c.best);
    EXPECT_EQ(back.optimizer, c.optimizer);
    EXPECT_EQ(back.driver, c.driver);
    // The streams round-trip: restored, they draw what the saved ones draw.
    restore_random_streams(c.streams);
    const int32_t a = c_rand();
    const uint32_t d = device_value();
    restore_random_streams(back.streams);
    EXPECT_EQ(c_rand(), a);
    EXPECT_EQ(device_value(), d);
    unseed_sources();
}

// Every way a file can be unusable is refused with its reason, and no prefix
// or single damaged byte gets through.
TEST(RunBackup, RefusesUnusableFilesSayingWhy) {
    const RunCheckpoint c = sample_checkpoint();
    const auto bytes = file_of(c);
    const RunArguments& args = c.arguments;
    EXPECT_EQ(refusal(bytes, args), "");
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const std::string why = refusal({bytes.begin(), bytes.begin() + n}, args);
        ASSERT_NE(why.find("truncated"), std::string::npos) << n << ": " << why;
    }
    for (std::size_t at = 20; at < bytes.size(); ++at) {
        auto torn = bytes;
        torn[at] ^= 0x10;
        ASSERT_NE(refusal(torn, args).find("damaged"), std::string::npos) << at;
    }
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_NE(refusal(longer, args).find("damaged"), std::string::npos);
    EXPECT_EQ(refusal({'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, args),
              "it is not a tessavo run backup");
    auto other_format = bytes;
    other_format[8] = 2;
    EXPECT_EQ(refusal(other_format, args),
              "it is in backup format 2, and this tessavo reads format 1");
    EXPECT_EQ(refusal(bytes, args, "1.1"),
              "it was written by tessavo 1.0, and this is tessavo 1.1");
    RunArguments other = args;
    other[0].second = "30";
    other.push_back({"recurrent", "True"});
    EXPECT_EQ(refusal(bytes, other),
              "it was made by a run with other arguments: pop_size is 20 in the backup and 30 in "
              "this run; recurrent is not in the backup");
}

// A sound checksum does not vouch for the content: fields that no run can
// write are refused too.
TEST(RunBackup, RefusesImpossibleContent) {
    RunCheckpoint c = sample_checkpoint();
    c.sizes.push_back(7);  // three sizes for two epochs
    EXPECT_NE(refusal(file_of(c), c.arguments).find("one value per epoch"), std::string::npos);
    c = sample_checkpoint();
    c.best.recurrent = false;  // keeps its self link
    EXPECT_NE(refusal(file_of(c), c.arguments).find("link its network may not have"),
              std::string::npos);
}

TEST(RunBackup, WritesDurablyAndLeavesNoTemporary) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("tessavo-backup-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "run.tvbackup").string();
    RunCheckpoint c = sample_checkpoint();
    save_checkpoint(path, "1.0", c);
    c.epochs_done = 3;
    c.train = {{1, 2, 3}, {1, 2, 3}};
    c.validation = {{1, 2, 3}, {1, 2, 3}};
    c.sizes = {1, 2, 3};
    save_checkpoint(path, "1.0", c);  // replaces the first
    EXPECT_EQ(load_checkpoint(path, "1.0", c.arguments).epochs_done, 3);
    EXPECT_EQ(read_bytes_file(path), file_of(c));  // written in pieces, the same bytes
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    std::filesystem::remove_all(folder);
}

TEST(RunBackup, DataFingerprintSeesShapesAndValues) {
    std::vector<double> values(300);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i);
    const SeriesView x{values.data(), 100, 1, 3};
    const std::string print = data_fingerprint(x);
    EXPECT_EQ(print.rfind("100 x 1 x 3, sample hash ", 0), 0u) << print;
    EXPECT_NE(data_fingerprint({values.data(), 50, 2, 3}), print);
    values[299] = -1.0;  // the last series is always in the sample
    EXPECT_NE(data_fingerprint(x), print);
}

}  // namespace
}  // namespace tessavo::testing

namespace tessavo::testing {
namespace {

// An optimizer's state and the streams, saved between two generations and
// read into a new search, give the generations that followed the save.
void expect_exact_resume(const OptimizerFactory& factory, bool recurrent) {
    Network start(3, 1, recurrent);
    randomize_dense(start);
    std::vector<double> values(40 * 3);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = std::sin(0.7 * static_cast<double>(i));
    }
    const SeriesView x{values.data(), recurrent ? 10 : 40, recurrent ? 4 : 1, 3};
    std::vector<double> targets(static_cast<std::size_t>(x.count * x.steps));
    for (std::size_t i = 0; i < targets.size(); ++i) targets[i] = values[3 * i] * values[3 * i + 1];
    const SeriesView y{targets.data(), x.count, x.steps, 1};
    const std::vector<int32_t> codes = {loss_code("mse")};
    const PoolScorer scorer = [&](std::vector<Network>& pool, std::vector<LossRow>& out) {
        evaluate_pool_into(pool, x, y, codes, out);
        return true;
    };
    auto trace = [&](Optimizer& search, int generations) {
        std::vector<double> seen;
        for (int g = 0; g < generations; ++g) {
            EXPECT_TRUE(search.run_generation(scorer));
            for (const LossRow& row : search.losses()) seen.push_back(row[0]);
            for (const Network& member : search.members()) {
                RandomEngine engine = member.rng;
                seen.push_back(engine());
            }
        }
        return seen;
    };
    seed_sources(21);
    const auto search = factory(start, 12, 1);
    trace(*search, 3);
    ByteOut saved;
    search->write_state(saved);
    const RandomStreams streams = capture_random_streams();
    const std::vector<double> expected = trace(*search, 4);

    seed_sources(99);  // other draws before the resume must not matter
    const auto resumed = factory(start, 12, 1);
    ByteIn in(saved.bytes, "state");
    resumed->read_state(in);
    restore_random_streams(streams);
    EXPECT_EQ(trace(*resumed, 4), expected);
    unseed_sources();
}

TEST(OptimizerState, EveryOptimizerResumesExactly) {
    for (const bool recurrent : {false, true}) {
        expect_exact_resume(alpha_optimizer(), recurrent);
        expect_exact_resume(beta_optimizer(BetaSettings{}), recurrent);
        expect_exact_resume(gamma_optimizer(GammaSettings{}), recurrent);
    }
}

TEST(OptimizerState, AStateIsReadOnlyByItsOptimizerAndPopulation) {
    Network start(3, 1, false);
    randomize_dense(start);
    ByteOut alpha_state;
    alpha_optimizer()(start, 4, 1)->write_state(alpha_state);
    auto refusal = [&](const Optimizer& reader) {
        ByteIn in(alpha_state.bytes, "its optimizer state");
        try {
            const_cast<Optimizer&>(reader).read_state(in);
        } catch (const MalformedBackup& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(refusal(*beta_optimizer(BetaSettings{})(start, 4, 1)),
              "its optimizer state: belongs to optimizer Alpha, not Beta");
    EXPECT_EQ(refusal(*alpha_optimizer()(start, 5, 1)),
              "its optimizer state: holds another number of members");
    EXPECT_EQ(refusal(*alpha_optimizer()(start, 4, 1)), "");
}

TEST(OptimizerState, GammaRefusesAStateOfAnotherSearch) {
    Network start(3, 1, false);
    randomize_dense(start);
    ByteOut state;
    gamma_optimizer(GammaSettings{})(start, 6, 1)->write_state(state);
    auto refusal = [&](Optimizer&& reader) {
        ByteIn in(state.bytes, "state");
        try {
            reader.read_state(in);
        } catch (const MalformedBackup& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    Network sparse = start;
    sparse.links[matrix_index(sparse, 0, 3)] = 0;
    EXPECT_EQ(refusal(GammaSearch(sparse, 6, GammaSettings{})),
              "state: holds a network of another topology than the search's");
    EXPECT_EQ(refusal(GammaSearch(start, 7, GammaSettings{})),
              "state: holds a mean, step sizes or noise of another length than the parameters");
    EXPECT_EQ(refusal(GammaSearch(start, 6, GammaSettings{})), "");
}

}  // namespace
}  // namespace tessavo::testing
