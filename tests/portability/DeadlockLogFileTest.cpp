// The deadlock log file as Windows sees it. Windows only: share modes do not exist on Linux.
// (The CR LF line end is checked by DeadlockLogTest on both systems.)
#include <davro/platform/Win32.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SyncTestSupport.h"

namespace {

using namespace davro::test;

class DeadlockLogFileTest : public ::testing::Test {
protected:
    void SetUp() override { setDriveC(drive_.path()); }
    void TearDown() override { setDriveC(""); }

    // Opens the log the way another program watching it would, with read and write access
    // and the given share mode, and writes `text` into it; the file is created anew.
    HANDLE openLog(DWORD share, const char* text) const {
        const std::wstring path = std::wstring(drive_.path().begin(), drive_.path().end());
        const HANDLE file =
            CreateFileW((path + L"\\deadlock.out").c_str(), GENERIC_READ | GENERIC_WRITE, share,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr));
        return file;
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

    TempDir drive_;
};

// A holder that shares reading and writing: only a deny-none open by the library (neither
// deny-read nor deny-write) can succeed beside it. One that denies writing makes the
// library's open fail: the line is lost, quietly.
TEST_F(DeadlockLogFileTest, IsRewrittenBesideAWriterThatSharesAndLostBesideOneThatDenies) {
    HANDLE holder = openLog(FILE_SHARE_READ | FILE_SHARE_WRITE, "old text, longer than nothing");
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Bare::report(L"Shared");
    std::string content = readAll(holder);
    CloseHandle(holder);
    EXPECT_EQ(0u, content.rfind("YSyncObject: Shared timed out at: ", 0)) << content;
    EXPECT_EQ(std::string::npos, content.find("old text")) << "the file is rewritten";

    holder = openLog(FILE_SHARE_READ, "kept");
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Bare::report(L"Lost");
    content = readAll(holder);
    CloseHandle(holder);
    EXPECT_EQ("kept", content);
}

}  // namespace
