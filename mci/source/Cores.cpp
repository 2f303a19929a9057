#include "Cores.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace mci {

int coresToUse()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return CPU_COUNT(&allowed);
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace mci
