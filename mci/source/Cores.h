// How many cores the work of one request may spread over.
#pragma once

namespace mci {

// The cores this process may run on: its affinity mask (so that `taskset` is honoured), or what
// the machine has where the mask cannot be read; at least one.
int coresToUse();

}  // namespace mci
