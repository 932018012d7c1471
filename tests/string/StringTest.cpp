// YString and its UTF-8 rendering YGenericString.
#include <davro/platform/detail/Utf8.h>
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
    // A low surrogate first, and a high one with nothing after it to pair with.
    const wchar_t lowFirst[] = {static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", utf8(YString(lowFirst)));
    // The two halves of U+1F600 as two units: a pair in UTF-16 (Windows), two lone surrogates
    // in UTF-32 (Linux).
    const wchar_t halves[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
    EXPECT_EQ(sizeof(wchar_t) == 2 ? "\xF0\x9F\x98\x80" : "\xEF\xBF\xBD\xEF\xBF\xBD",
              utf8(YString(halves)));
#ifndef _WIN32
    // A 32-bit wchar_t can hold values beyond the Unicode range, negative ones included.
    const wchar_t beyond[] = {static_cast<wchar_t>(0x10FFFF), static_cast<wchar_t>(0x110000),
                              static_cast<wchar_t>(-2), 0};
    EXPECT_EQ("\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD", utf8(YString(beyond)));
#endif

    YGenericString first(YString(L"first"));
    YGenericString second(first);
    static_cast<char*>(second)[0] = 'F';
    EXPECT_STREQ("first", static_cast<char*>(first));
    first = second;
    EXPECT_STREQ("First", static_cast<char*>(first));
}

// Decoding, the direction no class takes yet: well-formed text is read as it is, and every
// ill-formed part becomes one U+FFFD per maximal subpart (the longest start of a valid
// sequence, else one byte). The mixed case is the example of the Unicode standard.
TEST(StringTest, Utf8DecodingReplacesEachMaximalSubpartOnce) {
    using davro::platform::fromUtf8;
    const std::wstring r(1, L'\xFFFD');
    EXPECT_EQ(L"M\u00E4rz \u20AC", fromUtf8("M\xC3\xA4rz \xE2\x82\xAC"));
    EXPECT_EQ(L"\U0001F600", fromUtf8("\xF0\x9F\x98\x80"));                    // a pair on Windows
    EXPECT_EQ(L"\uD7FF\U0010FFFF", fromUtf8("\xED\x9F\xBF\xF4\x8F\xBF\xBF"));  // the edges
    EXPECT_EQ(L"a" + r + r + r + L"b" + r + L"c" + r + r + L"d",
              fromUtf8("a\xF1\x80\x80\xE1\x80\xC2"
                       "b\x80"
                       "c\x80\xBF"
                       "d"));
    EXPECT_EQ(r + r, fromUtf8("\xC0\xAF"));                  // overlong: byte by byte
    EXPECT_EQ(r + r + r, fromUtf8("\xE0\x80\xAF"));          // overlong
    EXPECT_EQ(r + r + r, fromUtf8("\xED\xA0\x80"));          // an encoded surrogate
    EXPECT_EQ(r + r + r + r, fromUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_EQ(r + r + L"x", fromUtf8("\xF5\xFFx"));          // never in UTF-8
    EXPECT_EQ(L"x" + r, fromUtf8("x\xF0\x9F\x98"));          // cut short by the end
    EXPECT_EQ(r + L"x", fromUtf8("\xE2\x82x"));              // cut short: x read afresh
}

}  // namespace
