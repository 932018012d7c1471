// The deadlock log file as Windows sees it. Windows only: share modes and the C runtime's
// text mode (CR LF line ends) do not exist on Linux.
#include <davro/core/SyncObject.h>
#include <davro/platform/Win32.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace {

using davro::test::TempDir;

// Reaches the protected report function, as the watchdog does.
class Reporter : public YSyncObject {
public:
    static void report(const YString& message) { reportDeadlock(message); }
    int unlock() override { return 0; }
};

class DeadlockLogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, _putenv_s("DAVRO_DRIVE_C", drive_.path().c_str()));
        path_ = std::wstring(drive_.path().begin(), drive_.path().end()) + L"\\deadlock.out";
    }
    void TearDown() override { _putenv_s("DAVRO_DRIVE_C", ""); }

    // Opens the log the way another program watching it would, with the given access and
    // share mode; the file is created empty when missing.
    HANDLE openLog(DWORD access, DWORD share) const {
        return CreateFileW(path_.c_str(), access, share, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    // The whole file, read through `file` from its start.
    static std::string readAll(HANDLE file) {
        std::string content;
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            content.append(buffer, got);
        }
        return content;
    }

private:
    TempDir drive_;
    std::wstring path_;
};

// A holder with read and write access that shares both: only a deny-none open by the
// library (neither deny-read nor deny-write) can succeed beside it.
TEST_F(DeadlockLogFileTest, IsRewrittenWhileAnotherProgramHoldsItOpenForWriting) {
    const HANDLE holder = openLog(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(holder, "old text, longer than nothing", 29, &written, nullptr));

    Reporter::report(L"Shared");
    const std::string content = readAll(holder);
    CloseHandle(holder);

    EXPECT_EQ(0u, content.rfind("YSyncObject: Shared timed out at: ", 0)) << content;
    EXPECT_EQ(std::string::npos, content.find("old text")) << "the file is rewritten";
}

TEST_F(DeadlockLogFileTest, LineEndsInCarriageReturnLineFeed) {
    Reporter::report(L"Ends");
    const HANDLE reader = openLog(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    const std::string content = readAll(reader);
    CloseHandle(reader);

    ASSERT_GE(content.size(), 2u);
    EXPECT_EQ("\r\n", content.substr(content.size() - 2)) << content;
    EXPECT_EQ(content.size() - 1, content.find('\n')) << "exactly one line: " << content;
}

// A holder that denies writing makes the library's open fail: the line is lost, quietly.
TEST_F(DeadlockLogFileTest, LogThatCannotBeOpenedLosesTheLine) {
    const HANDLE holder = openLog(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(holder, "kept", 4, &written, nullptr));

    Reporter::report(L"Lost");
    EXPECT_EQ("kept", readAll(holder));
    CloseHandle(holder);
}

}  // namespace
