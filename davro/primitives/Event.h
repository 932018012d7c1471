// Kernel events as waitable objects: YEventObject (auto-reset unless asked otherwise) and
// YManualEventObject (always manual-reset).
#pragma once

#include <davro/core/SyncObject.h>

// A process-private kernel event.
//
// Wait with lock()/wait(); set with unlock()/signal(); clear with resetEvent(). An
// auto-reset event releases one waiter per set, or stays set until one wait consumes it;
// a manual-reset event releases every waiter and stays set until reset. In the two-int
// constructors the first int is the initial state and the second the manual-reset flag.
// The name is a display name for the deadlock log only; two events with one name are
// unrelated. Any thread may call any operation. Copies duplicate the handle: both objects
// then set and wait on the same event. If creation fails the handle is 0: waits return -1,
// unlock() and resetEvent() still return 1.
class DAVRO_API YEventObject : public YSyncObject {
public:
    YEventObject();
    YEventObject(const YString& name);  // NOLINT(google-explicit-constructor)
    YEventObject(int initialState, int manualReset);
    YEventObject(int initialState, int manualReset, const YString& name);
    YEventObject(const YEventObject& other);
    YEventObject& operator=(const YEventObject& other);
    ~YEventObject() override;

    using YSyncObject::unlock;
    // Sets the event (SetEvent) and returns 1 whatever the kernel answers.
    int unlock() override;

    // Clears the event (ResetEvent) and returns 1 whatever the kernel answers.
    int resetEvent();
};

// A manual-reset YEventObject: once set it releases every waiter until resetEvent().
class DAVRO_API YManualEventObject : public YEventObject {
public:
    YManualEventObject();
    explicit YManualEventObject(int initialState);
    YManualEventObject(const YString& name);  // NOLINT(google-explicit-constructor)
    YManualEventObject(int initialState, const YString& name);
    YManualEventObject(const YManualEventObject& other);
    YManualEventObject& operator=(const YManualEventObject& other);
    ~YManualEventObject() override;
};
