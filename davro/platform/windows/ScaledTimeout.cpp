// scaledTimeoutMs on Windows: the kernel's waits take their time-outs as given, so a time
// limit that the library picks itself is divided by DAVRO_TIME_SCALE here.
#include <davro/platform/Environment.h>
#include <davro/platform/Win32.h>
#include <davro/platform/detail/ScaledTimeout.h>

namespace davro::platform {

unsigned scaledTimeoutMs(unsigned ms) {
    if (ms == INFINITE) {
        return ms;
    }
    const unsigned scaled = ms / timeScale();
    return scaled > 0 ? scaled : 1;  // never 0: that would turn a timed wait into a poll
}

}  // namespace davro::platform
