// The baseline of the named mutex: a robust, process-shared pthread mutex in shared memory,
// made the way the library makes its own, for the benchmark and the instruction count.
#pragma once

#include <pthread.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace davro::bench {

class RobustSharedMutex {
public:
    RobustSharedMutex() {
        void* memory = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        mutex_ = static_cast<pthread_mutex_t*>(memory);
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~RobustSharedMutex() {
        pthread_mutex_destroy(mutex_);
        munmap(mutex_, sizeof(pthread_mutex_t));
    }
    RobustSharedMutex(const RobustSharedMutex&) = delete;
    RobustSharedMutex& operator=(const RobustSharedMutex&) = delete;

    pthread_mutex_t* get() const { return mutex_; }

private:
    pthread_mutex_t* mutex_ = nullptr;
};

}  // namespace davro::bench
