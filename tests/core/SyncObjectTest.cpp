// YSyncObject: handle ownership and copies, polls, and the waits on several objects
// (lockMultiple and waitMultiple) with the list checked before any wait.
#include <davro/core/SyncObject.h>
#include <davro/primitives/Event.h>
#include <davro/primitives/Mutex.h>
#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "SyncTestSupport.h"

#ifndef _WIN32
#include <davro/platform/Testing.h>
#endif

namespace {

using namespace davro::test;
using namespace davro::win32;

// Copies duplicate the handle: two handles, one kernel object, each closed once. State is
// read with lock(0), which polls: 258 at once when unsignalled.
TEST(SyncObjectTest, CopiesAndAssignmentsEachOwnAHandleToTheSameObject) {
    PeekEvent original(0, 1);  // manual reset, so that state can be read without change
    EXPECT_EQ(kTimedOut, original.lock(0));
    HANDLE copyHandle = nullptr;
    {
        PeekEvent copy(original);
        copyHandle = copy.rawHandle();
        ASSERT_NE(nullptr, copyHandle);
        EXPECT_NE(original.rawHandle(), copyHandle);
        original.unlock();
        EXPECT_EQ(kSignalled, copy.lock(0));
        PeekEvent(copy).resetEvent();  // through a copy of the copy
        EXPECT_EQ(kTimedOut, original.lock(0));
    }
    EXPECT_FALSE(CloseHandle(copyHandle));  // the copy closed its own handle...
    original.unlock();
    EXPECT_EQ(kSignalled, original.lock(0));  // ...and left the original's alone

    PeekEvent target(0, 1);
    const HANDLE oldHandle = target.rawHandle();
    target = original;
    EXPECT_FALSE(CloseHandle(oldHandle));  // already closed by the assignment
    EXPECT_NE(original.rawHandle(), target.rawHandle());
    EXPECT_EQ(kSignalled, target.lock(0));
    PeekEvent& alias = target;
    target = alias;  // self-assignment keeps the handle open
    EXPECT_EQ(kSignalled, target.lock(0));

    // A zero handle is copied as zero, and assigning it drops the old handle.
    const Bare bare;
    EXPECT_EQ(nullptr, Bare(bare).rawHandle());
    const HANDLE originalHandle = original.rawHandle();
    static_cast<YSyncObject&>(original) = bare;
    EXPECT_FALSE(CloseHandle(originalHandle));
    EXPECT_EQ(kFailed, original.lock(0));
    EXPECT_EQ(kSignalled, target.lock(0));  // the other handle lives on
}

#ifndef _WIN32
// With the object pool full, creations fail cleanly (handle 0), a copy gets a working handle
// or none and the process pseudo-handle works; once there is room, everything works again.
TEST(SyncObjectTest, AFullObjectPoolFailsCleanlyAndEverythingWorksOnceThereIsRoom) {
    PeekEvent before(0, 1);
    davro::win32::testing::limitObjects(davro::win32::testing::liveObjects());
    EXPECT_EQ(kFailed, PeekEvent(0, 1).lock(0));
    EXPECT_EQ(0u, _beginthreadex(
                      nullptr, 0, [](void*) { return 0u; }, nullptr, 0, nullptr));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(GetCurrentProcess(), 0));
    std::thread([] {  // new to the library: the object behind its pseudo-handle cannot be made
        HANDLE copy = nullptr;
        EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                     &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    })
        .join();
    for (int room = 0; room < 2; ++room) {
        PeekEvent copy(before);
        before.unlock();
        EXPECT_EQ(copy.rawHandle() == nullptr && room == 0 ? kFailed : kSignalled, copy.lock(0));
        before.resetEvent();
        davro::win32::testing::limitObjects(0);
    }
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(GetCurrentProcess(), 0));
    EXPECT_EQ(kTimedOut, PeekEvent(0, 1).lock(0));
}
#endif

// "Before any wait": an auto-reset event in the same list would be consumed by a wait-any
// that reached the kernel; it must still be set afterwards.
TEST(LockMultipleTest, EmptyListNullEntryOrZeroHandleReturnBeforeAnyWait) {
    EXPECT_EQ(0, YSyncObject::lockMultiple(nullptr, 0, 0, kWaitMs));
    EXPECT_EQ(0, YSyncObject::waitMultiple(nullptr, 0, 1, INFINITE));
    YEventObject set(1, 0);
    Bare bare;
    YSyncObject* withNull[] = {&set, nullptr};
    YSyncObject* withBare[] = {&set, &bare};
    YSyncObject* bareFirst[] = {&bare, &set};
    EXPECT_EQ(kFailed, YSyncObject::lockMultiple(withNull, 2, 0, kWaitMs));
    EXPECT_EQ(kFailed, YSyncObject::lockMultiple(withBare, 2, 0, kWaitMs));
    EXPECT_EQ(kFailed, YSyncObject::waitMultiple(bareFirst, 2, 1, INFINITE));
    EXPECT_EQ(kFailed, YSyncObject::waitMultiple(withNull, 2, 1, 0));
    EXPECT_EQ(kSignalled, set.lock(0));  // still set: no wait consumed it
    EXPECT_THROW(YSyncObject::lockMultiple(nullptr, -1, 0, 0), std::bad_alloc);
}

TEST(LockMultipleTest, WaitAnyTakesTheLowestSignalledAndWaitAllTakesAllAtOnce) {
    YEventObject first;
    YEventObject second;
    YEventObject third;
    YSyncObject* objects[] = {&first, &second, &third};
    EXPECT_EQ(kTimedOut, YSyncObject::lockMultiple(objects, 3, 0, 0));
    second.unlock();
    EXPECT_EQ(1, YSyncObject::waitMultiple(objects, 3, 0, kWaitMs));
    third.unlock();
    first.unlock();
    EXPECT_EQ(0, YSyncObject::lockMultiple(objects, 3, 0, kWaitMs));
    EXPECT_EQ(kTimedOut, first.lock(0));  // only the lowest one was consumed
    EXPECT_EQ(kSignalled, third.lock(0));

    second.unlock();
    YSyncObject* pair[] = {&first, &second};
    EXPECT_EQ(kTimedOut, YSyncObject::waitMultiple(pair, 2, 1, 20));
    EXPECT_EQ(kTimedOut, YSyncObject::lockMultiple(pair, 2, 1, 0));
    first.unlock();
    EXPECT_EQ(0, YSyncObject::lockMultiple(pair, 2, 1, kWaitMs));
    EXPECT_EQ(kTimedOut, first.lock(0));  // both consumed together
    EXPECT_EQ(kTimedOut, second.lock(0));

    YMutex mutex;
    std::thread([&] { mutex.lock(0); }).join();  // ends while owning it
    YSyncObject* withAbandoned[] = {&first, &mutex};
    EXPECT_EQ(kAbandoned + 1, YSyncObject::lockMultiple(withAbandoned, 2, 0, kWaitMs));
    EXPECT_NE(0, mutex.unlock());  // the caller owns it now
}

}  // namespace
