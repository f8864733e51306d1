#include "training/optimizer_state.hpp"

#include <string>

#include "training/beta.hpp"

namespace tessavo {

void expect_optimizer(ByteIn& in, const char* name) {
    const std::string written = in.str();
    if (written != name) in.bad("belongs to optimizer " + written + ", not " + name);
}

Network get_member(ByteIn& in, const Network& shape) {
    Network network = get_network(in);
    if (network.inputs != shape.inputs || network.outputs != shape.outputs ||
        network.recurrent != shape.recurrent) {
        in.bad("holds a network of another shape than the model's");
    }
    return network;
}

void put_rows(ByteOut& out, const std::vector<LossRow>& rows) {
    out.u64(rows.size());
    for (const LossRow& row : rows) out.f64s(row);
}

std::vector<LossRow> get_rows(ByteIn& in) {
    std::vector<LossRow> rows(in.count(8));
    for (LossRow& row : rows) row = in.f64s();
    return rows;
}

void write_alpha_state(ByteOut& out, const Population& population) {
    out.str("Alpha");
    out.u64(population.members.size());
    for (const Network& member : population.members) put_network(out, member);
    put_rows(out, population.losses);
}

void read_alpha_state(ByteIn& in, Population& population, int32_t pop_size, const Network& shape) {
    expect_optimizer(in, "Alpha");
    const uint64_t count = in.u64();
    if (count != static_cast<uint64_t>(pop_size)) in.bad("holds another number of members");
    Population read;
    for (uint64_t k = 0; k < count; ++k) read.members.push_back(get_member(in, shape));
    read.losses = get_rows(in);
    if (read.losses.size() != read.members.size()) in.bad("holds a loss row per member");
    in.finish();
    population = std::move(read);
}

void BetaSearch::write_state(ByteOut& out) const {
    out.str("Beta");
    out.u8(scored_ ? 1 : 0);
    out.f64(threshold_);
    out.u64(members_.size());
    for (const Network& member : members_) put_network(out, member);
    put_rows(out, losses_);
    out.f64s(steps_);
    out.u64(species_.size());
    for (const Species& s : species_) {
        put_network(out, s.representative);
        out.f64(s.best);
        out.i32(s.stagnant);
        out.u8(s.improved ? 1 : 0);
        out.i32s(s.members);
        out.f64(s.share);
        out.i32(s.offspring);
    }
    out.i32s(origins_);
}

void BetaSearch::read_state(ByteIn& in) {
    expect_optimizer(in, "Beta");
    const Network& shape = members_.front();
    const bool scored = in.flag();
    const double threshold = in.f64();
    const uint64_t count = in.u64();
    if (count != static_cast<uint64_t>(pop_size_)) in.bad("holds another number of members");
    std::vector<Network> members;
    for (uint64_t k = 0; k < count; ++k) members.push_back(get_member(in, shape));
    std::vector<LossRow> losses = get_rows(in);
    std::vector<double> steps = in.f64s();
    if ((scored ? losses.size() != count : !losses.empty()) || steps.size() != count) {
        in.bad("holds a loss row and a step size per member");
    }
    const uint64_t species_count = in.count(1);
    std::vector<Species> species(species_count);
    auto index_ok = [&](int32_t i) { return i >= -1 && static_cast<int64_t>(i) < pop_size_; };
    for (Species& s : species) {
        s.representative = get_member(in, shape);
        s.best = in.f64();
        s.stagnant = in.i32();
        s.improved = in.flag();
        s.members = in.i32s();
        s.share = in.f64();
        s.offspring = in.i32();
        for (const int32_t m : s.members) {
            if (m < 0 || !index_ok(m)) in.bad("holds a species member outside the population");
        }
    }
    std::vector<int32_t> origins = in.i32s();
    if (!origins.empty() && origins.size() != count) in.bad("holds an origin per member");
    for (const int32_t o : origins) {
        if (o < -1 || (o >= 0 && static_cast<uint64_t>(o) >= species_count)) {
            in.bad("holds an origin outside the species");
        }
    }
    if (!(threshold > 0.0)) in.bad("holds a threshold that is not positive");
    in.finish();
    scored_ = scored;
    threshold_ = threshold;
    members_ = std::move(members);
    losses_ = std::move(losses);
    steps_ = std::move(steps);
    species_ = std::move(species);
    origins_ = std::move(origins);
}

}  // namespace tessavo
