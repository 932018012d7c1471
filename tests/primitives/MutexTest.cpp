// YMutex and YNamedMutex: ownership by threads, recursion, abandonment, kernel names and
// copies.
#include <davro/primitives/Mutex.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "TestSupport.h"

namespace {

using namespace davro::win32;
using davro::test::kWaitMs;
using davro::test::WaitProbe;
using namespace std::chrono_literals;

constexpr int kSignalled = 0;
constexpr int kAbandoned = 0x80;
constexpr int kTimedOut = 258;
constexpr int kFailed = -1;

// What lock(0) from another thread finds; the other thread lets go of what it took.
int pollFromOtherThread(YSyncObject& mutex) {
    WaitProbe other([&] {
        const int result = mutex.lock(0);
        if (result == kSignalled || result == kAbandoned) {
            mutex.unlock();
        }
        return result;
    });
    return other.result();
}

// A kernel name no other run of this test uses at the same time.
YString uniqueName(const wchar_t* what) {
    YString name(L"davro-test-");
    name += static_cast<int>(GetCurrentProcessId());
    name += L"-";
    name += what;
    return name;
}

template <typename Base>
class Peek : public Base {
public:
    using Base::Base;
    HANDLE rawHandle() const { return this->handle; }
};

TEST(MutexTest, OwnerReacquiresAndMustReleaseAsOften) {
    YMutex mutex(L"Table");
    EXPECT_EQ(0, mutex.unlock());  // fresh: nobody owns it
    ASSERT_EQ(kSignalled, mutex.lock(0));
    ASSERT_EQ(kSignalled, mutex.wait(kWaitMs));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.unlock());
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.signal());
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));
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

TEST(MutexTest, OwnerThreadEndingAbandonsTheMutex) {
    YMutex mutex;
    std::thread([&] { ASSERT_EQ(kSignalled, mutex.lock(0)); }).join();
    EXPECT_EQ(kAbandoned, mutex.lock(kWaitMs));  // acquired and reported
    EXPECT_EQ(kTimedOut, pollFromOtherThread(mutex));
    EXPECT_NE(0, mutex.unlock());
    EXPECT_EQ(kSignalled, pollFromOtherThread(mutex));  // abandonment is reported once
}

TEST(MutexTest, SameDisplayNameGivesIndependentMutexes) {
    YMutex first(L"Shared");
    YMutex second(L"Shared");
    ASSERT_EQ(kSignalled, first.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(first));
    EXPECT_EQ(kSignalled, pollFromOtherThread(second));
    first.unlock();
}

TEST(MutexTest, CopyLocksTheSameMutexAndOutlivesTheOriginal) {
    auto* original = new Peek<YMutex>(L"Copied");
    Peek<YMutex> copy(*original);
    EXPECT_NE(original->rawHandle(), copy.rawHandle());
    EXPECT_STREQ(L"Copied", copy.getName());

    ASSERT_EQ(kSignalled, original->lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(copy));
    EXPECT_NE(0, copy.unlock());  // ownership is the thread's, whichever handle
    delete original;

    EXPECT_EQ(kSignalled, copy.lock(0));
    EXPECT_NE(0, copy.unlock());
}

TEST(NamedMutexTest, SameNameIsOneMutex) {
    const YString name = uniqueName(L"one");
    YNamedMutex first(name);
    YNamedMutex second(name);
    EXPECT_STREQ(name, second.getName());

    ASSERT_EQ(kSignalled, first.lock(0));
    EXPECT_EQ(kTimedOut, pollFromOtherThread(second));
    EXPECT_NE(0, second.unlock());  // the same thread owns it through either object
    EXPECT_EQ(kSignalled, pollFromOtherThread(first));
}

TEST(NamedMutexTest, InitialOwnerCountsOnlyForTheCreator) {
    const YString name = uniqueName(L"owner");
    YNamedMutex creator(1, name);
    WaitProbe opener([&] {
        YNamedMutex opened(1, name);  // exists already: not owned by this thread
        const int released = opened.unlock();
        return released == 0 ? opened.lock(0) : -2;
    });
    EXPECT_EQ(kTimedOut, opener.result());
    EXPECT_NE(0, creator.unlock());
}

TEST(NamedMutexTest, AbandonedThroughAnotherObjectOfTheName) {
    const YString name = uniqueName(L"abandoned");
    YNamedMutex mine(name);
    std::thread([&] {
        YNamedMutex theirs(name);
        ASSERT_EQ(kSignalled, theirs.lock(0));
    }).join();
    EXPECT_EQ(kAbandoned, mine.lock(kWaitMs));
    EXPECT_NE(0, mine.unlock());
}

// A backslash names a folder of the kernel's namespace that does not exist: the kernel
// refuses the name and the object keeps handle 0.
TEST(NamedMutexTest, RefusedNameLeavesTheHandleZero) {
    YString name = uniqueName(L"no-such-folder");
    name += L"\\mutex";
    Peek<YNamedMutex> mutex(1, name);
    EXPECT_EQ(nullptr, mutex.rawHandle());
    EXPECT_EQ(kFailed, mutex.lock(0));
    EXPECT_EQ(kFailed, mutex.lock(INFINITE));  // fails at once: no watchdog slice
    EXPECT_EQ(0, mutex.unlock());
    EXPECT_STREQ(name, mutex.getName());
}

TEST(NamedMutexTest, CopyKeepsTheKernelMutexAlive) {
    const YString name = uniqueName(L"copy");
    auto* original = new YNamedMutex(name);
    const YNamedMutex copy(*original);
    delete original;
    YNamedMutex reopened(name);  // still the same kernel mutex, held open by the copy
    ASSERT_EQ(kSignalled, reopened.lock(0));
    YNamedMutex other = copy;
    EXPECT_EQ(kTimedOut, pollFromOtherThread(other));
    EXPECT_NE(0, reopened.unlock());
}

}  // namespace
