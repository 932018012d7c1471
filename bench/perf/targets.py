"""The performance targets: one table, read by bench/report.py and bench/instructions.py.

Each target is one comparison, bounded on time (or throughput) in the benchmark programs'
figures, on instruction counts in bench/Instructions.cpp's paths, or on both. A comparison
bounded on both appears once, so that its two bounds are set side by side.
"""

from collections import namedtuple

# A bound on the ratio of two benchmark figures. A reference is "Family/Operation/column"
# (see bench/README.md), with "@N" for a thread count. Kind "time" divides times per
# operation, "rate" throughputs (items per second); comparison is "<=" or ">="; `against`
# names the denominator in the page's tables.
Timed = namedtuple("Timed", "numerator denominator kind comparison bound against")

# A bound on the ratio of two instruction counts per operation: `path` and `baseline` are
# labels of Instructions.cpp's paths; `what` words it by the calls counted. A bound of None
# reports the ratio only.
Counted = namedtuple("Counted", "what path baseline bound")

# `what` is the comparison's name in the page's and the README's target tables.
Target = namedtuple("Target", "what timed counted")


def target(what, timed=None, counted=None):
    return Target(what, Timed(*timed) if timed else None, Counted(*counted) if counted else None)


TARGETS = [
    target("uncontended kernel mutex vs std::recursive_mutex",
           ("Kernel/MutexWaitRelease/win32", "Kernel/MutexWaitRelease/std", "time", "<=", 1.5,
            "std::recursive_mutex"),
           ("kernel mutex wait + release vs std::recursive_mutex",
            "win32/MutexWaitRelease", "std/RecursiveMutexLockUnlock", 1.5)),
    target("kernel mutex vs std::mutex",
           counted=("kernel mutex wait + release vs std::mutex",
                    "win32/MutexWaitRelease", "std/MutexLockUnlock", None)),
    target("semaphore vs sem_wait + sem_post",
           ("Kernel/SemaphoreWaitRelease/win32", "Kernel/SemaphoreWaitRelease/posix", "time",
            "<=", 1.5, "sem_wait + sem_post"),
           ("semaphore wait + release vs sem_wait + sem_post",
            "win32/SemaphoreWaitRelease", "posix/SemWaitPost", 2.5)),
    target("auto-reset event vs sem_post + sem_wait",
           ("Kernel/AutoEventSetWait/win32", "Kernel/AutoEventSetWait/posix", "time", "<=", 1.5,
            "sem_post + sem_wait"),
           ("auto-reset event set + wait vs sem_wait + sem_post",
            "win32/AutoEventSetWait", "posix/SemWaitPost", 2.5)),
    target("event ping-pong vs raw futex",
           ("Kernel/EventPingPong/win32", "Kernel/EventPingPong/futex", "time", "<=", 1.3,
            "raw futex")),
    target("event ping-pong on one CPU vs raw futex on one CPU",
           ("Kernel/EventPingPongOneCpu/win32", "Kernel/EventPingPongOneCpu/futex", "time", "<=",
            1.3, "raw futex, one CPU")),
    target("two threads, own mutex each, vs one thread (throughput)",
           ("Kernel/MutexOwnPerThread/win32@2", "Kernel/MutexOwnPerThread/win32@1", "rate", ">=",
            1.6, "one thread")),
    target("contended mutex vs std::mutex (throughput)",
           ("Kernel/MutexContended/win32@2", "Kernel/MutexContended/std@2", "rate", ">=", 0.8,
            "std::mutex")),
    target("contended mutex, 4 threads, vs std::mutex (throughput)",
           ("Kernel/MutexContended/win32@4", "Kernel/MutexContended/std@4", "rate", ">=", 0.8,
            "std::mutex")),
    target("contended mutex, 8 threads, vs std::mutex (throughput)",
           ("Kernel/MutexContended/win32@8", "Kernel/MutexContended/std@8", "rate", ">=", 0.8,
            "std::mutex")),
    target("wait-any over 64 vs one poll",
           ("Kernel/WaitAny64LastSignalled/win32", "Kernel/ManualEventPoll/win32", "time", "<=",
            64, "one poll"),
           ("wait-any over 64 vs one poll",
            "win32/WaitAny64LastSignalled", "win32/ManualEventPoll", None)),
    target("named mutex vs robust process-shared pthread mutex",
           ("Kernel/NamedMutexWaitRelease/win32", "Kernel/NamedMutexWaitRelease/pthread", "time",
            "<=", 1.5, "pthread mutex"),
           ("named mutex vs robust process-shared pthread mutex",
            "win32/NamedMutexWaitRelease", "pthread/RobustSharedMutexLockUnlock", 1.5)),
    target("named semaphore vs sem_open semaphore",
           ("Kernel/NamedSemaphoreWaitRelease/win32", "Kernel/NamedSemaphoreWaitRelease/posix",
            "time", "<=", 1.5, "sem_open semaphore")),
    target("named auto-reset event vs sem_open semaphore",
           ("Kernel/NamedAutoEventSetWait/win32", "Kernel/NamedSemaphoreWaitRelease/posix",
            "time", "<=", 1.5, "sem_open semaphore")),
    target("named event wake across processes vs shared futex",
           ("Named/EventWake/win32", "Named/Wake/futex", "time", "<=",
            1.5, "shared futex")),
    target("named event wake in a wait-any vs shared futex",
           ("Named/EventWakeInWaitAny/win32", "Named/Wake/futex",
            "time", "<=", 1.5, "shared futex")),
    target("named mutex wake in a wait-any vs shared futex",
           ("Named/MutexWakeInWaitAny/win32", "Named/Wake/futex",
            "time", "<=", 1.5, "shared futex")),
    target("named event ping-pong between processes vs shared futex",
           ("Named/PingPong/win32", "Named/PingPong/futex",
            "time", "<=", 1.5, "shared futex")),
    target("SRW lock, exclusive, vs std::shared_mutex",
           ("SRW/Exclusive/win32@1", "SRW/Exclusive/std@1", "time", "<=", 1.2,
            "std::shared_mutex")),
    target("SRW lock, shared, vs std::shared_mutex",
           ("SRW/Shared/win32@1", "SRW/Shared/std@1", "time", "<=", 1.2, "std::shared_mutex")),
    target("SRW lock, exclusive, 2 threads, vs std::shared_mutex (throughput)",
           ("SRW/Exclusive/win32@2", "SRW/Exclusive/std@2", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("SRW lock, shared, 2 threads, vs std::shared_mutex (throughput)",
           ("SRW/Shared/win32@2", "SRW/Shared/std@2", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("SRW lock, exclusive, 4 threads, vs std::shared_mutex (throughput)",
           ("SRW/Exclusive/win32@4", "SRW/Exclusive/std@4", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("SRW lock, shared, 4 threads, vs std::shared_mutex (throughput)",
           ("SRW/Shared/win32@4", "SRW/Shared/std@4", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("SRW lock, exclusive, 8 threads, vs std::shared_mutex (throughput)",
           ("SRW/Exclusive/win32@8", "SRW/Exclusive/std@8", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("SRW lock, shared, 8 threads, vs std::shared_mutex (throughput)",
           ("SRW/Shared/win32@8", "SRW/Shared/std@8", "rate", ">=", 0.83,
            "std::shared_mutex")),
    target("condition variable round trip vs std::condition_variable",
           ("ConditionVariable/RoundTrip/win32", "ConditionVariable/RoundTrip/std", "time", "<=",
            1.3, "std::condition_variable")),
    target("WaitOnAddress ping-pong vs raw futex",
           ("WaitOnAddress/PingPong/win32", "WaitOnAddress/PingPong/futex", "time", "<=", 1.2,
            "raw futex")),
    target("InitOnceExecuteOnce, once done, vs std::call_once",
           ("InitOnce/Done/win32", "InitOnce/Done/std", "time", "<=", 1.2, "std::call_once")),
    target("TlsGetValue vs pthread_getspecific",
           ("Tls/Get/win32", "Tls/Get/pthread", "time", "<=", 1.0, "pthread_getspecific"),
           ("TlsGetValue vs pthread_getspecific",
            "win32/TlsGetValue", "pthread/GetSpecific", 1.0)),
    target("class layer: YMutex vs its raw calls",
           ("Mutex/LockUnlock/davro", "Mutex/LockUnlock/win32", "time", "<=", 1.1, "raw calls"),
           ("class layer: YMutex vs its raw calls",
            "davro/YMutexLockUnlock", "win32/MutexSliceWaitRelease", 1.1)),
    target("class layer: YEventObject vs its raw calls",
           ("Event/SetWait/davro", "Event/SetWait/win32", "time", "<=", 1.1, "raw calls"),
           ("class layer: YEventObject vs its raw calls",
            "davro/YEventSignalLock", "win32/EventSetSliceWait", 1.1)),
    target("class layer: YSemaphore vs its raw calls",
           ("Semaphore/LockUnlock/davro", "Semaphore/LockUnlock/win32", "time", "<=", 1.1,
            "raw calls"),
           ("class layer: YSemaphore vs its raw calls",
            "davro/YSemaphoreLockUnlock", "win32/SemaphoreSliceWaitRelease", 1.1)),
    target("class layer: YSemaphore::getCount vs its raw calls",
           ("Semaphore/GetCount/davro", "Semaphore/GetCount/win32", "time", "<=", 1.1,
            "raw calls"),
           ("class layer: YSemaphore::getCount vs its raw calls",
            "davro/YSemaphoreGetCount", "win32/SemaphoreGetCount", 1.1)),
    target("YCriticalSection uncontended vs std::recursive_mutex",
           ("Section/LockUnlock/davro@1", "Section/LockUnlock/std@1", "time", "<=", 1.5,
            "std::recursive_mutex"),
           ("YCriticalSection lock + unlock vs std::recursive_mutex",
            "davro/YCriticalSectionLockUnlock", "std/RecursiveMutexLockUnlock", 1.6)),
    target("YCriticalSection, 2 threads, vs std::recursive_mutex (throughput)",
           ("Section/LockUnlock/davro@2", "Section/LockUnlock/std@2", "rate", ">=", 0.8,
            "std::recursive_mutex")),
    target("YCriticalSection, 4 threads, vs std::recursive_mutex (throughput)",
           ("Section/LockUnlock/davro@4", "Section/LockUnlock/std@4", "rate", ">=", 0.8,
            "std::recursive_mutex")),
    target("YCriticalSection, 8 threads, vs std::recursive_mutex (throughput)",
           ("Section/LockUnlock/davro@8", "Section/LockUnlock/std@8", "rate", ">=", 0.8,
            "std::recursive_mutex")),
    target("YReadWriteSection read entry + exit vs std::shared_mutex",
           ("Section/ReadEnterLeave/davro@1", "Section/ReadEnterLeave/std@1", "time", "<=", 4,
            "std::shared_mutex"),
           ("YReadWriteSection read entry + exit vs std::shared_mutex read",
            "davro/YReadWriteSectionRead", "std/SharedMutexReadLockUnlock", 6)),
    target("YReadWriteSection read entry + exit, two readers, vs std::shared_mutex",
           ("Section/ReadEnterLeave/davro@2", "Section/ReadEnterLeave/std@2", "time", "<=", 4,
            "std::shared_mutex")),
    target("YReadWriteSection write entry + exit vs YCriticalSection lock + unlock",
           ("Section/WriteEnterLeave/davro", "Section/LockUnlock/davro@1", "time", "<=", 2,
            "YCriticalSection"),
           ("YReadWriteSection write entry + exit vs YCriticalSection lock + unlock",
            "davro/YReadWriteSectionWrite", "davro/YCriticalSectionLockUnlock", 2)),
    target("YThread create + wait vs std::thread + join",
           ("Thread/CreateWait/davro", "Thread/CreateWait/std", "time", "<=", 1.5,
            "std::thread + join")),
    target("periodic waitable timer lateness, median, vs timerfd",
           ("Timer/LatenessMedian/win32", "Timer/LatenessMedian/timerfd", "time", "<=", 1.1,
            "timerfd")),
    target("periodic waitable timer lateness, 99th percentile, vs timerfd",
           ("Timer/LatenessP99/win32", "Timer/LatenessP99/timerfd", "time", "<=", 1.25,
            "timerfd")),
    target("thread-pool work items vs a std::thread pool over a mutex and condition variable "
           "(throughput)",
           ("ThreadPool/WorkItems/win32", "ThreadPool/WorkItems/std", "rate", ">=", 1.0,
            "std::thread pool")),
]

# Ratios of times reported without a bound: (what, numerator, denominator).
REPORTED = [
    ("MsgWaitForMultipleObjects woken by a posted message vs by an event",
     "Message/MsgWaitWokenByPost/win32", "Message/MsgWaitWokenByEvent/win32"),
    ("APC round trip to a thread in SleepEx vs an eventfd pair",
     "Timer/ApcRoundTrip/win32", "Timer/ApcRoundTrip/eventfd"),
    ("registered-wait wake-up among 1,000 registrations vs one futex wake (round trips)",
     "ThreadPool/RegisteredWaitWake1000/win32", "ThreadPool/RegisteredWaitWake1000/futex"),
]


def timed():
    """[(what, Timed)] of the targets bounded on time or throughput, in the table's order."""
    return [(t.what, t.timed) for t in TARGETS if t.timed]


def counted():
    """[Counted] of the targets bounded on instruction counts, in the table's order."""
    return [t.counted for t in TARGETS if t.counted]
