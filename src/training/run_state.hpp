// The bytes an optimizer writes its state to, inside a run's backup
// (run_backup.hpp), and the fields the optimizers share. A state starts
// with the optimizer's name, so that one is never read as another's.
#pragma once

#include <cstdint>
#include <vector>

#include "modelfile/backup.hpp"
#include "network/network.hpp"
#include "training/population.hpp"

namespace tessavo {

using StateWriter = ByteOut;
using StateReader = ByteIn;
// A state that cannot be used; what() says why.
using StateError = MalformedBackup;

// Checks the optimizer name that starts a state.
void expect_optimizer(StateReader& in, const char* name);

// A network of the run: checked as get_network checks, and shaped like
// shape (inputs, outputs, recurrent).
Network get_member(StateReader& in, const Network& shape);

void put_rows(StateWriter& out, const std::vector<LossRow>& rows);
std::vector<LossRow> get_rows(StateReader& in);

}  // namespace tessavo
