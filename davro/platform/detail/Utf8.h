// Internal to the library: the one UTF-8 codec, used wherever a wide text becomes 8-bit text
// (YGenericString, and through it the deadlock log; the Linux named mutexes' shared names)
// or back. Standard C++ only, built on both systems; not installed, not exported.
//
// One rule in both directions: only Unicode scalar values are carried. wchar_t is UTF-32 on
// Linux (32 bits) and UTF-16 on Windows (16 bits): there a high surrogate followed by a low
// one is one code point. A lone surrogate and a value above U+10FFFF become U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace davro::platform {

// Appends the UTF-8 form of `codePoint`, or of U+FFFD (EF BF BD) when it is a surrogate
// (U+D800 to U+DFFF) or lies above U+10FFFF.
void appendUtf8(std::string& out, char32_t codePoint);

// The UTF-8 form of a wide text, by the rule above. Never fails; the result has at most
// three bytes per wchar_t on Windows and four on Linux.
std::string toUtf8(std::wstring_view text);

// The wide form of UTF-8 text: code points above U+FFFF become surrogate pairs on Windows.
// Each ill-formed part becomes U+FFFD once per maximal subpart, as Unicode recommends: the
// longest start of a well-formed sequence that the bytes hold (a truncated sequence, or one
// cut short by a wrong byte, which is then read afresh), or else a single byte (a stray
// continuation byte, C0, C1, F5 to FF, and the first byte of an overlong form, an encoded
// surrogate or a value above U+10FFFF). Never fails.
std::wstring fromUtf8(std::string_view text);

}  // namespace davro::platform
