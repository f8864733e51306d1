// The widest instruction set the scoring code may use on this machine.
#pragma once

#include <optional>
#include <string_view>

namespace tessavo {

enum class Isa { generic, avx2, avx512 };

// What the processor supports, capped by the TESSAVO_ISA environment variable
// ("generic", "avx2" or "avx512"; anything else is ignored). Both are read
// once, at the first call, so that every pass of a run takes the same path.
Isa widest_isa();

// The cap a value of TESSAVO_ISA names, or nothing for an unknown value.
std::optional<Isa> parse_isa(std::string_view name);

}  // namespace tessavo
