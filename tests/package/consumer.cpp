// A program outside the project that uses the installed library.
#include <davro/platform/Environment.h>

#include <cstdio>

int main() {
    const unsigned scale = davro::platform::timeScale();
    std::printf("davro consumer: time scale %u\n", scale);
    return scale >= 1 ? 0 : 1;
}
