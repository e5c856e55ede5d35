#include "cpuplacement.h"

#include <pthread.h>
#include <sched.h>

namespace CpuPlacement {

namespace {

int cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// Read once, before anything is pinned.
const int coreCount = cores();
bool pinned = false;

void allowOnly(int first, int last)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = first; cpu <= last; ++cpu)
        CPU_SET(cpu, &set);
    ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

// False when there is only one core (nothing is pinned then).
bool available()
{
    return coreCount >= 2;
}

} // namespace

void setPinned(bool on)
{
    if (!available())
        return;
    pinned = on;
    if (on)
        allowOnly(coreCount - 1, coreCount - 1);
    else
        allowOnly(0, coreCount - 1);
}

void pinToFarEndCore()
{
    if (available() && pinned)
        allowOnly(0, 0);
}

const char* describe()
{
    return available() ? "the far end pinned to the first core, the program and the baseline to "
                         "the last"
                       : "one core: nothing pinned";
}

} // namespace CpuPlacement
