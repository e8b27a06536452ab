// Scratch shared by the recursions of this module (not part of its interface).
#pragma once

#include <vector>

#include "gestalt/gestalt.hpp"
#include "gestalt/scratch.hpp"

namespace ratiokit {

extern thread_local ScratchSlot<MatchStats> MS_BUF;
extern thread_local ScratchSlot<std::vector<uint32_t>> CAP_BUF;

}  // namespace ratiokit
