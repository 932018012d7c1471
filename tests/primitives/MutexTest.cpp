// YMutex and YNamedMutex: ownership by threads, recursion, abandonment and kernel names.
#include <davro/primitives/Mutex.h>
#include <gtest/gtest.h>

#include <thread>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;
using namespace davro::win32;

// A kernel name no other run of this test uses at the same time.
YString kernelName(const wchar_t* what) {
    YString name(L"davro-test-");
    name += static_cast<int>(GetCurrentProcessId());
    name += L"-";
    name += what;
    return name;
}

TEST(MutexTest, OwnerReacquiresAndMustReleaseAsOftenOneUnitPerRelease) {
    YMutex mutex(L"Table");
    EXPECT_EQ(0, mutex.unlock());  // fresh: nobody owns it
    ASSERT_EQ(kSignalled, mutex.lock(0));
    ASSERT_EQ(kSignalled, mutex.wait(kWaitMs));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    long sentinel = 0x5A5A;
    EXPECT_NE(0, mutex.signal(5, &sentinel));  // the arguments are ignored: one release
    EXPECT_EQ(0x5A5A, sentinel);
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.signal());
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
    EXPECT_EQ(0, mutex.signal(5, &sentinel));  // no longer owned
}

TEST(MutexTest, InitialOwnerNeedsTwoUnlocksAfterOneMoreLock) {
    for (const bool named : {false, true}) {
        YMutex mutex = named ? YMutex(1, YString(L"Owned")) : YMutex(1);
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
        EXPECT_EQ(kSignalled, mutex.lock(0));  // the owner gets it again at once
        EXPECT_NE(0, mutex.unlock());
        EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
        EXPECT_NE(0, mutex.unlock());
        EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
        EXPECT_EQ(0, mutex.unlock());
    }
}

TEST(MutexTest, OwnerThreadEndingAbandonsTheMutexAndThatIsReportedOnce) {
    YMutex mutex;
    std::thread([&] { ASSERT_EQ(kSignalled, mutex.lock(0)); }).join();
    EXPECT_EQ(kAbandoned, mutex.lock(kWaitMs));  // acquired and reported
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.unlock());
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));

    const YString name = kernelName(L"abandoned");
    YNamedMutex mine(name);
    std::thread([&] {
        YNamedMutex theirs(name);
        ASSERT_EQ(kSignalled, theirs.lock(0));
    }).join();
    EXPECT_EQ(kAbandoned, mine.lock(kWaitMs));
    EXPECT_NE(0, mine.unlock());
}

// A display name reaches no kernel: two YMutex of one name are two mutexes. A kernel name
// is one mutex for every YNamedMutex of that name, and only its creator takes initial
// ownership.
TEST(NamedMutexTest, SameNameIsOneKernelMutexOnlyForNamedMutexesAndABadNameIsRefused) {
    YMutex firstPlain(L"Shared");
    YMutex secondPlain(L"Shared");
    ASSERT_EQ(kSignalled, firstPlain.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(firstPlain));
    EXPECT_EQ(kSignalled, pollFromOtherThread(secondPlain));
    firstPlain.unlock();

    const YString name = kernelName(L"one");
    YNamedMutex creator(1, name);
    YNamedMutex second(name);
    EXPECT_EQ(kTimedOut, pollFromOtherThread(second));
    EXPECT_NE(0, second.unlock());  // the same thread owns it through either object
    EXPECT_EQ(kSignalled, pollFromOtherThread(creator));
    WaitProbe opener([&] {
        YNamedMutex opened(1, name);  // exists already: not owned by this thread
        return opened.unlock();
    });
    EXPECT_EQ(0, opener.result());

    // A backslash names a folder of the kernel's namespace that does not exist: the kernel
    // refuses the name and the object keeps handle 0.
    YNamedMutex refused(1, kernelName(L"no-such-folder\\mutex"));
    EXPECT_EQ(kFailed, refused.lock(INFINITE));  // at once: no watchdog slice
    EXPECT_EQ(0, refused.unlock());
}

}  // namespace
