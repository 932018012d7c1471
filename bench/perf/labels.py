"""The readable names of benchmark families and operations, for the page and the chart."""

import re

# Tables in this order; a family not listed here follows them under its own name.
FAMILIES = [
    ("Kernel", "Kernel objects and waits (davro::win32 on Linux)"),
    ("Mutex", "Mutexes"),
    ("Event", "Events"),
    ("Semaphore", "Semaphore"),
    ("Section", "Critical and reader/writer sections"),
    ("Condition", "Condition"),
    ("Thread", "Threads"),
    ("Message", "Message queue and message-pumping waits"),
    ("Named", "Named objects between two processes"),
    ("SRW", "Slim reader/writer locks"),
    ("ConditionVariable", "Condition variables"),
    ("WaitOnAddress", "Waits on addresses"),
    ("InitOnce", "One-time initialisation"),
    ("SList", "Interlocked singly linked lists"),
    ("Tls", "Thread-local storage"),
    ("Timer", "Waitable timers and APCs"),
    ("ThreadPool", "Thread pool and registered waits"),
]

# Readable operation names; others are split at their capitals.
OPERATIONS = {
    "Kernel/MutexWaitRelease": "mutex: wait + release, uncontended",
    "Kernel/SemaphoreWaitRelease": "semaphore: wait + release",
    "Kernel/AutoEventSetWait": "auto-reset event: set + wait",
    "Kernel/EventPingPong": "event ping-pong between two threads (round trip)",
    "Kernel/MutexOwnPerThread": "mutex per thread: wait + release",
    "Kernel/EventPingPongOneCpu": "event ping-pong, both threads on one CPU (round trip)",
    "Kernel/MutexContended": "one mutex, contended: wait + release",
    "Kernel/WaitAny64LastSignalled": "wait-any over 64 objects, last one signalled",
    "Kernel/ManualEventPoll": "poll of one set manual-reset event",
    "Kernel/NamedMutexWaitRelease": "named mutex: wait + release",
    "Kernel/NamedSemaphoreWaitRelease": "named semaphore: wait + release",
    "Kernel/NamedAutoEventSetWait": "named auto-reset event: set + wait",
    "Named/Wake": "a sleeping waiter in another process woken through a shared futex word",
    "Named/EventWake": "a sleeping waiter in another process woken by a named event",
    "Named/EventWakeInWaitAny": "the same, the event in a wait-any beside an unnamed one",
    "Named/MutexWake": "a sleeping waiter in another process woken by a named mutex's release",
    "Named/MutexWakeInWaitAny": "the same, the mutex in a wait-any beside an unnamed event",
    "Named/PingPong": "ping-pong between two processes (round trip)",
    "Kernel/MillionObjectsCreatedAndClosed": "a million objects created and closed, twice",
    "Mutex/LockUnlock": "YMutex lock(INFINITE) + unlock",
    "Mutex/LockUnlockInfinite": "raw wait(INFINITE) + release",
    "Event/SetWait": "YEventObject signal + lock(INFINITE)",
    "Event/SetWaitInfinite": "raw set + wait(INFINITE)",
    "Semaphore/LockUnlock": "YSemaphore lock(INFINITE) + unlock",
    "Semaphore/LockUnlockInfinite": "raw wait(INFINITE) + release",
    "Semaphore/GetCount": "YSemaphore getCount",
    "Section/LockUnlock": "YCriticalSection lock + unlock",
    "Section/ReadEnterLeave": "YReadWriteSection read entry + exit",
    "Section/WriteEnterLeave": "YReadWriteSection write entry + exit",
    "Condition/RoundTrip": "YCondition signal-and-wake round trip",
    "Thread/CreateWait": "YThread create + wait for its end",
    "Timer/LatenessMedian": "periodic timer (1 ms): median lateness of a wake-up over 200 periods",
    "Timer/LatenessP99": "periodic timer (1 ms): 99th percentile of the lateness over 200 periods",
    "Timer/ApcRoundTrip": "APC to a thread asleep in SleepEx, answered with an event (round trip)",
    "ThreadPool/WorkItems": "256 trivial work items submitted, then waited for (per item)",
    "ThreadPool/RegisteredWaitWake1000":
        "one of 1,000 registered events set, its callback answers (round trip)",
}


def family_title(family):
    return dict(FAMILIES).get(family, family)


def ordered_families(rows):
    """The families of `rows` in table order: the known ones first, then the others sorted."""
    known = [family for family, _ in FAMILIES if family in rows]
    return known + sorted(family for family in rows if family not in dict(FAMILIES))


def words(camel):
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", " ", camel).lower()


def operation_text(family, operation):
    """An operation's readable name, its benchmark arguments in brackets."""
    head, _, args = operation.partition("/")
    text = OPERATIONS.get(family + "/" + head, words(head))
    return text + (" (" + args.replace("/", ", ") + ")" if args else "")
