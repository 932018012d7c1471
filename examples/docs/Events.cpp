// An auto-reset event releases one wait per signal; a manual-reset event lets every waiter
// through until it is reset.
#include <davro/primitives/Event.h>

#include <atomic>
#include <cstdio>
#include <thread>

int main() {
    YEventObject wakeOne(L"wakeOne");  // auto-reset, not set
    wakeOne.signal();
    const int taken = wakeOne.wait(0);  // 0: the wait consumes the signal
    const int empty = wakeOne.wait(0);  // 258: clear again

    YManualEventObject gate(L"gate");  // manual-reset, not set
    std::atomic<int> through{0};
    auto waiter = [&] {
        if (gate.wait(5000) == 0) {
            ++through;
        }
    };
    std::thread first(waiter);
    std::thread second(waiter);
    gate.signal();  // both waiters pass
    first.join();
    second.join();
    const int stillOpen = gate.wait(0);  // 0: stays set
    gate.resetEvent();
    const int shut = gate.wait(0);  // 258

    std::printf("auto: %d then %d; manual: %d through, %d then %d\n", taken, empty, through.load(),
                stillOpen, shut);
    return taken == 0 && empty == 258 && through == 2 && stillOpen == 0 && shut == 258 ? 0 : 1;
}
