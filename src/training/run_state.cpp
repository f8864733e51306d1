#include "training/run_state.hpp"

#include <string>

namespace tessavo {

void expect_optimizer(StateReader& in, const char* name) {
    const std::string written = in.str();
    if (written != name) in.bad("belongs to optimizer " + written + ", not " + name);
}

Network get_member(StateReader& in, const Network& shape) {
    Network network = get_network(in);
    if (network.inputs != shape.inputs || network.outputs != shape.outputs ||
        network.recurrent != shape.recurrent) {
        in.bad("holds a network of another shape than the model's");
    }
    return network;
}

void put_rows(StateWriter& out, const std::vector<LossRow>& rows) {
    out.u64(rows.size());
    for (const LossRow& row : rows) out.f64s(row);
}

std::vector<LossRow> get_rows(StateReader& in) {
    std::vector<LossRow> rows(in.count(8));
    for (LossRow& row : rows) row = in.f64s();
    return rows;
}

}  // namespace tessavo
