// A YThread that computes one result, held before run() until resumed, and a
// YSynchronizedThread worker that ticks until it is stopped; main waits for both at once.
#include <davro/primitives/Event.h>
#include <davro/thread/SynchronizedThread.h>

#include <atomic>
#include <cstdio>

using namespace davro::win32;  // INFINITE

// Adds up 1..n on its own thread; the sum is also the thread's exit code.
class Summer : public YThread {
public:
    explicit Summer(int n) : YThread(L"summer"), n_(n) {}
    int total() const { return total_; }  // read once the thread has ended

protected:
    int run() override {
        for (int i = 1; i <= n_; ++i) {
            total_ += i;
        }
        return total_;
    }

private:
    int n_;
    int total_ = 0;
};

// One tick per slice until stopped.
class Ticker : public YSynchronizedThread {
public:
    Ticker() : YSynchronizedThread(L"ticker") {}
    // Stops and waits before the derived part goes, so no slice runs on a half-destroyed object.
    ~Ticker() override {
        stop();
        waitThread(INFINITE);
    }

    std::atomic<int> ticks{0};
    YManualEventObject ticked{L"ticked"};  // set by the first slice

protected:
    int runBody() override {
        ++ticks;
        ticked.signal();
        sleep(1);
        return 1;  // another slice, please
    }
};

int main() {
    Summer summer(100);
    const int created = summer.create(1);   // 1: started, held before run()
    const unsigned held = summer.resume();  // 1: the suspend count before; now it runs

    Ticker ticker;
    const int started = ticker.start();            // 0
    const int again = ticker.start();              // -1: a worker runs once
    const int ticking = ticker.ticked.wait(5000);  // 0: the loop is under way
    ticker.stop();                                 // the loop ends after the slice under way

    YThread* both[] = {&summer, &ticker};
    const int ended = YThread::waitThreads(both, 2, 1, 5000);  // 0: all have ended
    const int running = ticker.isRunning();                    // 0

    std::printf("sum %d, %d ticks; create %d, resume %u, start %d then %d, wait %d\n",
                summer.total(), ticker.ticks.load(), created, held, started, again, ended);
    return created == 1 && held == 1 && started == 0 && again == -1 && ticking == 0 && ended == 0 &&
                   running == 0 && summer.total() == 5050 && ticker.ticks >= 1
               ? 0
               : 1;
}
