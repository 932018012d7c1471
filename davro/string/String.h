// The library's text types: YString, a wide-character string used for every name and
// formatted time, and YGenericString, its 8-bit (UTF-8) rendering.
#pragma once

#include <davro/Export.h>

#include <string>

// A wide-character string with value semantics.
//
// Besides the usual appends it hands out a writable buffer (`operator wchar_t*`) into
// which C-style functions write a null-terminated text; every later operation sees the
// text up to the first null written there. A null `const wchar_t*` gives the empty string.
// Not synchronised: one object is used by one thread at a time, distinct objects are
// independent. Only allocation failure can raise an exception.
class DAVRO_API YString {
public:
    YString();
    YString(const wchar_t* text);  // NOLINT(google-explicit-constructor): names are literals
    // `count` copies of the character `ch`; a negative count gives the empty string.
    YString(int count, int ch);
    YString(const YString& other);
    YString(YString&& other) noexcept;
    YString& operator=(const YString& other);
    YString& operator=(YString&& other) noexcept;
    ~YString();

    // Appends in place and returns this string. operator+=(int) appends the value in
    // decimal, with a leading minus sign when negative (INT_MIN included).
    YString& operator+=(const wchar_t* text);
    YString& operator+=(const YString& other);
    YString& operator+=(int value);

    // A new string: this text followed by the argument.
    YString operator+(const wchar_t* text) const;
    YString operator+(const YString& other) const;

    // Number of characters; 0 for the empty string.
    int length() const;

    // The null-terminated text, valid while the string lives and is not changed.
    operator const wchar_t*() const;  // NOLINT(google-explicit-constructor)

    // A writable buffer of length() + 1 characters. Text written into it counts up to its
    // first null character from the next operation on.
    operator wchar_t*();  // NOLINT(google-explicit-constructor)

    // Makes the string `n` characters long (cut, or padded with spaces); n < 0 acts as 0.
    void resize(int n);

private:
    // Cuts the text at the first null that a writer of the buffer left in it.
    void settle() const;

    mutable std::wstring text_;
    mutable bool bufferLent_ = false;
};

// The UTF-8 rendering of a YString. Where wchar_t has 16 bits (Windows) the text is read as
// UTF-16, a high surrogate followed by a low one being one character; where it has 32 bits
// (Linux), as UTF-32. A lone surrogate and a value above U+10FFFF become U+FFFD. Not
// synchronised; distinct objects are independent.
class DAVRO_API YGenericString {
public:
    explicit YGenericString(const YString& text);
    YGenericString(const YGenericString& other);
    YGenericString& operator=(const YGenericString& other);
    virtual ~YGenericString();

    // The null-terminated 8-bit text, valid while the object lives.
    operator char*();  // NOLINT(google-explicit-constructor)

private:
    std::string text_;
};
