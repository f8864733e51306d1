// The optimizers' states in a run's backup (run_backup.hpp): each starts
// with the optimizer's name, so that a state is never read as another's.
#pragma once

#include <cstdint>

#include "modelfile/backup.hpp"
#include "training/population.hpp"

namespace tessavo {

// Alpha between generations: the members and their loss rows. The spare
// networks and rows are buffers whose contents every generation overwrites.
void write_alpha_state(ByteOut& out, const Population& population);
// Into population, for a run of pop_size members shaped like shape (inputs,
// outputs, recurrent). Throws MalformedBackup.
void read_alpha_state(ByteIn& in, Population& population, int32_t pop_size, const Network& shape);

// Checks the optimizer name that starts a state.
void expect_optimizer(ByteIn& in, const char* name);

// A network of the run: checked as get_network checks, and shaped like shape.
Network get_member(ByteIn& in, const Network& shape);

void put_rows(ByteOut& out, const std::vector<LossRow>& rows);
std::vector<LossRow> get_rows(ByteIn& in);

}  // namespace tessavo
