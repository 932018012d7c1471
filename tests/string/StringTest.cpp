// YString and its UTF-8 rendering YGenericString.
#include <davro/string/String.h>
#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <string>

namespace {

std::wstring text(const YString& s) { return std::wstring(static_cast<const wchar_t*>(s)); }

std::string utf8(const YString& s) {
    YGenericString rendering(s);
    return std::string(static_cast<char*>(rendering));
}

TEST(StringTest, ConstructionCopiesAndAppendsAreIndependentValues) {
    EXPECT_EQ(L"", text(YString(static_cast<const wchar_t*>(nullptr))));
    EXPECT_EQ(0, YString(static_cast<const wchar_t*>(nullptr)).length());
    EXPECT_EQ(3, YString(L"abc").length());
    EXPECT_EQ(L"   ", text(YString(3, 32)));
    EXPECT_EQ(0, YString(-4, 32).length());

    YString a(L"a");
    YString b(a);
    EXPECT_EQ(&b, &(b += L"b"));
    EXPECT_EQ(&b, &(b += YString(L"c")));
    EXPECT_EQ(&b, &(b += 7));
    b += static_cast<const wchar_t*>(nullptr);
    EXPECT_EQ(L"a", text(a));
    EXPECT_EQ(L"abc7", text(b));
    EXPECT_EQ(L"abc7x", text(b + L"x"));
    EXPECT_EQ(L"abc7yz", text(b + YString(L"yz")));
    EXPECT_EQ(L"abc7", text(b));
    a = b;
    b += b;
    EXPECT_EQ(L"abc7", text(a));
    EXPECT_EQ(L"abc7abc7", text(b));
    YString moved(std::move(b));
    a = std::move(moved);
    a = a;  // NOLINT: self-assignment must keep the value
    EXPECT_EQ(L"abc7abc7", text(a));
}

TEST(StringTest, AppendIntWritesDecimalWithSignIncludingExtremes) {
    for (const int value : {0, 5, -5, 10, -10, 1234567890, -1000, INT_MAX, INT_MIN}) {
        YString s(L"n=");
        s += value;
        EXPECT_EQ(L"n=" + std::to_wstring(value), text(s)) << value;
    }
    YString s;
    s += INT_MIN;
    EXPECT_EQ(L"-2147483648", text(s));
}

// The formatting functions write a null-terminated text of up to length() + 1 characters
// into the writable buffer; everything after the first null is gone from then on.
TEST(StringTest, ResizeAndTheWritableBufferWhoseTextCountsUpToItsFirstNull) {
    YString s(L"hello");
    s.resize(2);
    EXPECT_EQ(L"he", text(s));
    s.resize(4);
    EXPECT_EQ(L"he  ", text(s));
    std::wcscpy(static_cast<wchar_t*>(s), L"full");  // length() + 1 characters
    EXPECT_EQ(L"full", text(s));
    s.resize(-1);
    EXPECT_EQ(0, s.length());

    YString filled(8, 32);
    std::wcscpy(static_cast<wchar_t*>(filled), L"12");
    EXPECT_EQ(2, filled.length());
    EXPECT_EQ(L"12", text(YString(filled)));
    YString appended(L">");
    appended += filled;
    appended += L"<";
    EXPECT_EQ(L">12<", text(appended));
}

TEST(StringTest, GenericStringRendersUtf8AndReplacesInvalidUnits) {
    EXPECT_EQ("", utf8(YString()));
    EXPECT_EQ("M\xC3\xA4rz \xE2\x82\xAC", utf8(YString(L"M\u00E4rz \u20AC")));
    EXPECT_EQ("\xF0\x9F\x98\x80", utf8(YString(L"\U0001F600")));  // a pair on Windows
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(
        "a\xEF\xBF\xBD"
        "b",
        utf8(YString(lone)));
    const wchar_t lowFirst[] = {static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", utf8(YString(lowFirst)));
#ifndef _WIN32
    // A 32-bit wchar_t can hold values beyond the Unicode range.
    const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ("\xEF\xBF\xBD", utf8(YString(beyond)));
#endif

    YGenericString first(YString(L"first"));
    YGenericString second(first);
    static_cast<char*>(second)[0] = 'F';
    EXPECT_STREQ("first", static_cast<char*>(first));
    first = second;
    EXPECT_STREQ("First", static_cast<char*>(first));
}

}  // namespace
