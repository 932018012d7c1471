#include "Stages.h"

namespace demo {

const std::vector<Stage>& allStages() {
    static const std::vector<Stage> stages = {
        {"pipeline", "producer and consumer threads hand work over through a condition",
         runPipeline},
        {"cache", "readers share a cache while a writer updates it", runCache},
        {"semaphore", "a semaphore limits how many workers use a resource", runSemaphore},
        {"named-mutex", "two processes take turns; the second finds the mutex abandoned",
         runNamedMutex},
        {"window", "a window thread serves its messages while it waits", runWindow},
        {"deadlock", "the watchdog reports a lock-order inversion and its wait chain", runDeadlock},
        {"datetime", "date-time texts in the user's locale and date arithmetic", runDateTime},
    };
    return stages;
}

}  // namespace demo
