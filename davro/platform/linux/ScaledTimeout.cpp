// scaledTimeoutMs on Linux: the waits of the platform layer divide every time-out by
// DAVRO_TIME_SCALE themselves (Waits.cpp, MessageQueue.cpp), so a time limit of the library
// is passed on as it is; dividing it here too would scale it twice.
#include <davro/platform/detail/ScaledTimeout.h>

namespace davro::platform {

unsigned scaledTimeoutMs(unsigned ms) { return ms; }

}  // namespace davro::platform
