// YString and its UTF-8 rendering YGenericString.
#include <davro/string/String.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::wstring text(const YString& s) { return std::wstring(static_cast<const wchar_t*>(s)); }

std::string utf8(const YString& s) {
    YGenericString rendering(s);
    return std::string(static_cast<char*>(rendering));
}

TEST(StringTest, ConstructionFromTextNullAndRepeatedCharacter) {
    EXPECT_EQ(0, YString().length());
    EXPECT_EQ(0, YString(L"").length());
    EXPECT_EQ(0, YString(static_cast<const wchar_t*>(nullptr)).length());
    EXPECT_EQ(L"", text(YString(static_cast<const wchar_t*>(nullptr))));
    EXPECT_EQ(L"abc", text(YString(L"abc")));
    EXPECT_EQ(3, YString(L"abc").length());
    EXPECT_EQ(L"   ", text(YString(3, 32)));
    EXPECT_EQ(0, YString(0, 32).length());
    EXPECT_EQ(0, YString(-4, 32).length());
}

TEST(StringTest, CopiesAndMovesAreIndependentValues) {
    YString a(L"one");
    YString b(a);
    b += L"two";
    EXPECT_EQ(L"one", text(a));
    EXPECT_EQ(L"onetwo", text(b));
    a = b;
    b += L"!";
    EXPECT_EQ(L"onetwo", text(a));
    YString moved(std::move(b));
    EXPECT_EQ(L"onetwo!", text(moved));
    YString target;
    target = std::move(moved);
    EXPECT_EQ(L"onetwo!", text(target));
    target = target;  // NOLINT: self-assignment must keep the value
    EXPECT_EQ(L"onetwo!", text(target));
}

TEST(StringTest, AppendsReturnTheStringItselfAndPlusLeavesOperandsAlone) {
    YString s(L"a");
    YString& same = (s += L"b");
    EXPECT_EQ(&s, &same);
    EXPECT_EQ(&s, &(s += YString(L"c")));
    EXPECT_EQ(&s, &(s += 7));
    s += static_cast<const wchar_t*>(nullptr);
    EXPECT_EQ(L"abc7", text(s));
    const YString sum = s + L"x";
    const YString sum2 = s + YString(L"yz");
    EXPECT_EQ(L"abc7x", text(sum));
    EXPECT_EQ(L"abc7yz", text(sum2));
    EXPECT_EQ(L"abc7", text(s));
    s += s;
    EXPECT_EQ(L"abc7abc7", text(s));
}

TEST(StringTest, AppendIntWritesDecimalWithSignIncludingExtremes) {
    const int values[] = {0, 5, -5, 10, -10, 1234567890, -1000, INT_MAX, INT_MIN};
    for (const int value : values) {
        YString s(L"n=");
        s += value;
        EXPECT_EQ(L"n=" + std::to_wstring(value), text(s)) << value;
    }
    YString s;
    s += INT_MIN;
    EXPECT_EQ(L"-2147483648", text(s));
}

TEST(StringTest, ResizeCutsOrPadsWithSpaces) {
    YString s(L"hello");
    s.resize(2);
    EXPECT_EQ(L"he", text(s));
    s.resize(4);
    EXPECT_EQ(L"he  ", text(s));
    s.resize(-1);
    EXPECT_EQ(0, s.length());
}

// The formatting functions write a null-terminated text of up to length() + 1 characters
// into the writable buffer; everything after the first null is gone from then on.
TEST(StringTest, WritableBufferTextCountsUpToItsFirstNull) {
    YString s(8, 32);
    wchar_t* buffer = s;
    std::wcscpy(buffer, L"abc");
    EXPECT_EQ(3, s.length());
    EXPECT_EQ(L"abc", text(s));

    YString copied(9, 32);
    std::wcscpy(static_cast<wchar_t*>(copied), L"xy");
    const YString copy(copied);
    EXPECT_EQ(L"xy", text(copy));

    YString appended(L">");
    YString filled(5, 32);
    std::wcscpy(static_cast<wchar_t*>(filled), L"12");
    appended += filled;
    EXPECT_EQ(L">12", text(appended));
    appended += L"<";
    EXPECT_EQ(L">12<", text(appended));
}

TEST(StringTest, WritableBufferTakesLengthPlusOneCharacters) {
    YString s(4, 32);
    wchar_t* buffer = s;
    std::wcscpy(buffer, L"full");  // four characters and the null: length() + 1
    EXPECT_EQ(L"full", text(s));
    s.resize(7);
    buffer = s;
    std::wmemcpy(buffer, L"1234567", 8);
    EXPECT_EQ(L"1234567", text(s));

    YString untouched(L"keep");
    static_cast<void>(static_cast<wchar_t*>(untouched));  // lent but not written
    EXPECT_EQ(L"keep", text(untouched));
}

TEST(StringTest, GenericStringRendersUtf8) {
    EXPECT_EQ("", utf8(YString()));
    EXPECT_EQ("plain ASCII 42", utf8(YString(L"plain ASCII 42")));
    EXPECT_EQ("M\xC3\xA4rz \xE2\x82\xAC", utf8(YString(L"M\u00E4rz \u20AC")));
    EXPECT_EQ("\xF0\x9F\x98\x80", utf8(YString(L"\U0001F600")));  // a pair on Windows
}

TEST(StringTest, GenericStringReplacesInvalidUnits) {
    wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(
        "a\xEF\xBF\xBD"
        "b",
        utf8(YString(lone)));
    wchar_t lowFirst[] = {static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", utf8(YString(lowFirst)));
#ifndef _WIN32
    // A 32-bit wchar_t can hold values beyond the Unicode range.
    wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ("\xEF\xBF\xBD", utf8(YString(beyond)));
#endif
}

TEST(StringTest, GenericStringCopiesOwnTheirText) {
    YGenericString a(YString(L"first"));
    YGenericString b(a);
    static_cast<char*>(b)[0] = 'F';
    EXPECT_STREQ("first", static_cast<char*>(a));
    EXPECT_STREQ("First", static_cast<char*>(b));
    a = b;
    EXPECT_STREQ("First", static_cast<char*>(a));
}

}  // namespace
