// The UTF-8 codec of davro/platform/detail/Utf8.h. Standard C++ only: the same file serves
// both systems, and only the width of wchar_t tells them apart.
#include <davro/platform/detail/Utf8.h>

#include <cstddef>

namespace davro::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

constexpr bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool isSurrogate(char32_t unit) { return isHighSurrogate(unit) || isLowSurrogate(unit); }

// Appends a scalar value as one wchar_t, or as a surrogate pair where wchar_t has 16 bits.
void appendWide(std::wstring& out, char32_t codePoint) {
    if (kWideIsUtf16 && codePoint > 0xFFFF) {
        const char32_t offset = codePoint - 0x10000;
        out += static_cast<wchar_t>(0xD800 + (offset >> 10));
        out += static_cast<wchar_t>(0xDC00 + (offset & 0x3FF));
    } else {
        out += static_cast<wchar_t>(codePoint);
    }
}

}  // namespace

void appendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint > 0x10FFFF || isSurrogate(codePoint)) {
        codePoint = kReplacement;
    }
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string toUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = 0;
        if constexpr (kWideIsUtf16) {
            // wchar_t may be signed: go through its unsigned width first.
            unit = static_cast<char16_t>(text[i]);
            if (isHighSurrogate(unit) && i + 1 < text.size()) {
                const char32_t low = static_cast<char16_t>(text[i + 1]);
                if (isLowSurrogate(low)) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        } else {
            // A negative wchar_t converts to a value above U+10FFFF, replaced below. In
            // UTF-32 a surrogate is never half of a pair: each one is replaced on its own.
            unit = static_cast<char32_t>(text[i]);
        }
        appendUtf8(out, unit);
    }
    return out;
}

namespace {

// What a lead byte of UTF-8 starts: the number of continuation bytes, the bits of the code
// point that the lead carries, and the range allowed for the first continuation byte, which
// rules out overlong forms (E0, F0), surrogates (ED) and values above U+10FFFF (F4); later
// continuation bytes are 80 to BF. No continuations for a byte that starts nothing (a
// continuation byte, C0, C1 or F5 to FF).
struct Lead {
    int continuations = 0;
    char32_t bits = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
};

Lead leadOf(unsigned char lead) {
    Lead l;
    if (lead >= 0xC2 && lead <= 0xDF) {
        l.continuations = 1;
        l.bits = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        l.continuations = 2;
        l.bits = lead & 0x0F;
        l.low = lead == 0xE0 ? 0xA0 : l.low;
        l.high = lead == 0xED ? 0x9F : l.high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        l.continuations = 3;
        l.bits = lead & 0x07;
        l.low = lead == 0xF0 ? 0x90 : l.low;
        l.high = lead == 0xF4 ? 0x8F : l.high;
    }
    return l;
}

}  // namespace

std::wstring fromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i++]);
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            continue;
        }
        Lead expected = leadOf(lead);
        if (expected.continuations == 0) {
            appendWide(out, kReplacement);
            continue;
        }
        char32_t codePoint = expected.bits;
        for (; expected.continuations > 0 && i < text.size(); --expected.continuations) {
            const auto next = static_cast<unsigned char>(text[i]);
            if (next < expected.low || next > expected.high) {
                break;  // the maximal subpart ends before `next`, which is read afresh
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
            expected.low = 0x80;
            expected.high = 0xBF;
            ++i;
        }
        appendWide(out, expected.continuations == 0 ? codePoint : kReplacement);
    }
    return out;
}

}  // namespace davro::platform
