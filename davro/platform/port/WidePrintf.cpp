// The port header's _tprintf family with _UNICODE (platform/port/windows.h), in the static
// library davro_wmain that davro::port links: the wide printf calls as Windows' C run-time
// reads their formats, written to the stream as UTF-8.
//
// Windows' wide printf family takes %s and %c as wide (a TCHAR string with _UNICODE) and %S
// and %C as narrow; glibc's takes %s as narrow. Each format is rewritten for glibc first:
// %s, %c, %ws, %wc become %ls, %lc; %S, %C, %hs, %hc become %s, %c; Windows' size prefixes
// I64, I32 and I become ll, nothing and z. The text is then formatted wide and written as
// UTF-8, so that a stream keeps its byte orientation and a program may mix printf and
// _tprintf on it as on Windows (a stream that is already wide gets the wide text).
//
// Only the C library is called (no std::wstring, no operator new, no exceptions), so that a
// C program that calls _tprintf links this archive with the C compiler driver alone.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Copies the digits (or a '*') at `p` to `out`; returns where they end.
const wchar_t* copyCount(const wchar_t* p, wchar_t*& out) {
    if (*p == L'*') {
        *out++ = *p++;
        return p;
    }
    while (isDigit(*p)) {
        *out++ = *p++;
    }
    return p;
}

enum class Width { Default, Narrow, Wide };

// A size prefix of Windows' printf formats, the one glibc reads for it, and the width of
// text it asks of %s and %c.
struct SizePrefix {
    const wchar_t* windows;
    const wchar_t* glibc;
    Width width;
};

// Longest first where one begins another (I64 before I, hh before h).
constexpr SizePrefix kSizePrefixes[] = {
    {L"I64", L"ll", Width::Default}, {L"I32", L"", Width::Default},  // int is 32 bits
    {L"I", L"z", Width::Default},                                    // size_t, ptrdiff_t
    {L"hh", L"hh", Width::Default},  {L"ll", L"ll", Width::Default}, {L"h", L"h", Width::Narrow},
    {L"l", L"l", Width::Wide},       {L"w", L"l", Width::Wide},      {L"L", L"L", Width::Default},
    {L"j", L"j", Width::Default},    {L"z", L"z", Width::Default},   {L"t", L"t", Width::Default},
};

// The size prefix at `p` (one with no text when there is none); `p` moves past it.
SizePrefix readSizePrefix(const wchar_t*& p) {
    for (const SizePrefix& prefix : kSizePrefixes) {
        const std::size_t length = std::wcslen(prefix.windows);
        if (std::wcsncmp(p, prefix.windows, length) == 0) {
            p += length;
            return prefix;
        }
    }
    return {L"", L"", Width::Default};
}

// Copies one conversion after its '%' (flags, width, precision, size, conversion) from `p`
// to `out` as glibc reads it (see the top of this file); returns where it ends in `p`.
const wchar_t* copyConversion(const wchar_t* p, wchar_t*& out) {
    while (*p != L'\0' && std::wcschr(L"-+ #0'", *p) != nullptr) {
        *out++ = *p++;  // flags
    }
    p = copyCount(p, out);  // width
    if (*p == L'.') {
        *out++ = *p++;
        p = copyCount(p, out);  // precision
    }
    const SizePrefix prefix = readSizePrefix(p);
    const Width width = prefix.width;
    const wchar_t* length = prefix.glibc;
    const wchar_t conversion = *p;
    if (conversion == L's' || conversion == L'c') {
        if (width != Width::Narrow) {
            *out++ = L'l';
        }
        *out++ = conversion;
        return p + 1;
    }
    if (conversion == L'S' || conversion == L'C') {
        if (width == Width::Wide) {
            *out++ = L'l';
        }
        *out++ = conversion == L'S' ? L's' : L'c';
        return p + 1;
    }
    for (; *length != L'\0'; ++length) {
        *out++ = *length;
    }
    if (conversion != L'\0') {
        *out++ = conversion;
        ++p;
    }
    return p;
}

// A Windows wide printf format as glibc's vfwprintf reads it, in a block to free; NULL when
// memory is short. Each conversion grows by at most one character (an added 'l').
wchar_t* glibcFormat(const wchar_t* format) {
    const std::size_t length = std::wcslen(format);
    auto* const result = static_cast<wchar_t*>(std::malloc((2 * length + 1) * sizeof(wchar_t)));
    if (result == nullptr) {
        return nullptr;
    }
    wchar_t* out = result;
    const wchar_t* p = format;
    while (*p != L'\0') {
        if (*p != L'%') {
            *out++ = *p++;
        } else if (p[1] == L'%') {
            *out++ = *p++;
            *out++ = *p++;
        } else {
            *out++ = *p++;
            p = copyConversion(p, out);
        }
    }
    *out = L'\0';
    return result;
}

// The text that `format` and `arguments` make, in a block to free, and its length in
// `size`; NULL on a format or encoding error, or when memory is short.
wchar_t* formatWide(const wchar_t* format, va_list arguments, std::size_t& size) {
    wchar_t* const glibc = glibcFormat(format);
    if (glibc == nullptr) {
        return nullptr;
    }
    wchar_t* text = nullptr;
    size = 0;
    std::FILE* const memory = open_wmemstream(&text, &size);
    int written = -1;
    if (memory != nullptr) {
        written = std::vfwprintf(memory, glibc, arguments);
        std::fclose(memory);  // sets text and size
    }
    std::free(glibc);
    if (written < 0) {
        std::free(text);
        return nullptr;
    }
    return text;
}

// Appends the UTF-8 form of `c` at `out`, U+FFFD for a surrogate or a value above U+10FFFF
// (the rule of the library's codec, platform/detail/Utf8.h); returns where it ends.
char* appendUtf8(char* out, wchar_t c) {
    auto code = static_cast<char32_t>(c);
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        code = U'\uFFFD';
    }
    if (code < 0x80) {
        *out++ = static_cast<char>(code);
    } else if (code < 0x800) {
        *out++ = static_cast<char>(0xC0 | (code >> 6));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (code >> 12));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (code >> 18));
        *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// Writes the `size` characters of `text` to `stream`: as UTF-8 on a byte stream (or one not
// yet used), wide on a stream that is already wide. The count of wide characters, or -1.
int writeWide(std::FILE* stream, const wchar_t* text, std::size_t size) {
    if (std::fwide(stream, 0) > 0) {
        return std::fputws(text, stream) < 0 ? -1 : static_cast<int>(size);
    }
    auto* const bytes = static_cast<char*>(std::malloc(4 * size + 1));
    if (bytes == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    char* end = bytes;
    for (std::size_t i = 0; i < size; ++i) {
        end = appendUtf8(end, text[i]);
    }
    const auto count = static_cast<std::size_t>(end - bytes);
    const bool written = std::fwrite(bytes, 1, count, stream) == count;
    std::free(bytes);
    return written ? static_cast<int>(size) : -1;
}

}  // namespace

extern "C" {

int davro_port_vfwprintf(std::FILE* stream, const wchar_t* format, va_list arguments) {
    std::size_t size = 0;
    wchar_t* const text = formatWide(format, arguments, size);
    if (text == nullptr) {
        return -1;
    }
    const int result = writeWide(stream, text, size);
    std::free(text);
    return result;
}

int davro_port_fwprintf(std::FILE* stream, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = davro_port_vfwprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

int davro_port_vwprintf(const wchar_t* format, va_list arguments) {
    return davro_port_vfwprintf(stdout, format, arguments);
}

int davro_port_wprintf(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = davro_port_vfwprintf(stdout, format, arguments);
    va_end(arguments);
    return result;
}

// Windows' _snwprintf: at most `count` characters, with the null only when there is room
// for it; the length, or -1 when the text did not fit.
int davro_port_vsnwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format,
                          va_list arguments) {
    std::size_t size = 0;
    wchar_t* const text = formatWide(format, arguments, size);
    if (text == nullptr) {
        return -1;
    }
    std::wmemcpy(buffer, text, size < count ? size : count);
    if (size < count) {
        buffer[size] = L'\0';
    }
    std::free(text);
    return size <= count ? static_cast<int>(size) : -1;
}

int davro_port_snwprintf(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = davro_port_vsnwprintf(buffer, count, format, arguments);
    va_end(arguments);
    return result;
}

}  // extern "C"
