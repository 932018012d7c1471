#include <davro/string/String.h>

#include <cwchar>
#include <utility>

namespace {

// Appends the UTF-8 form of one code point; anything that is not a Unicode scalar value
// (a surrogate, or beyond U+10FFFF) becomes U+FFFD.
void appendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
    }
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string toUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        // wchar_t may be signed: go through its unsigned width first.
        char32_t unit = 0;
        if constexpr (sizeof(wchar_t) == 2) {
            unit = static_cast<char16_t>(text[i]);
            // UTF-16: a high surrogate followed by a low one is one code point; a lone
            // surrogate of either kind is passed on and replaced by appendUtf8.
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
                const char32_t low = static_cast<char16_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        } else {
            unit = static_cast<char32_t>(text[i]);
        }
        appendUtf8(out, unit);
    }
    return out;
}

}  // namespace

YString::YString() = default;

YString::YString(const wchar_t* text) : text_(text != nullptr ? text : L"") {}

YString::YString(int count, int ch)
    : text_(count > 0 ? static_cast<std::size_t>(count) : 0, static_cast<wchar_t>(ch)) {}

YString::YString(const YString& other) : text_((other.settle(), other.text_)) {}

YString::YString(YString&& other) noexcept : text_((other.settle(), std::move(other.text_))) {
    other.text_.clear();
}

YString& YString::operator=(const YString& other) {
    if (this != &other) {
        other.settle();
        text_ = other.text_;
        bufferLent_ = false;
    }
    return *this;
}

YString& YString::operator=(YString&& other) noexcept {
    if (this != &other) {
        other.settle();
        text_ = std::move(other.text_);
        other.text_.clear();
        bufferLent_ = false;
    }
    return *this;
}

YString::~YString() = default;

YString& YString::operator+=(const wchar_t* text) {
    settle();
    if (text != nullptr) {
        text_ += text;
    }
    return *this;
}

YString& YString::operator+=(const YString& other) {
    settle();
    other.settle();
    text_ += other.text_;
    return *this;
}

YString& YString::operator+=(int value) {
    settle();
    // The magnitude is taken in unsigned arithmetic, so INT_MIN needs no special case.
    unsigned magnitude = static_cast<unsigned>(value);
    if (value < 0) {
        magnitude = 0U - magnitude;
    }
    wchar_t digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        text_ += L'-';
    }
    while (n > 0) {
        text_ += digits[--n];
    }
    return *this;
}

YString YString::operator+(const wchar_t* text) const {
    YString result(*this);
    result += text;
    return result;
}

YString YString::operator+(const YString& other) const {
    YString result(*this);
    result += other;
    return result;
}

int YString::length() const {
    settle();
    return static_cast<int>(text_.size());
}

YString::operator const wchar_t*() const {
    settle();
    return text_.c_str();
}

YString::operator wchar_t*() {
    settle();
    // One extra stored null behind the text: the caller may write length() + 1
    // characters, and a std::wstring allows only a null at position size().
    text_.push_back(L'\0');
    bufferLent_ = true;
    return text_.data();
}

void YString::resize(int n) {
    settle();
    text_.resize(n > 0 ? static_cast<std::size_t>(n) : 0, L' ');
}

void YString::settle() const {
    if (bufferLent_) {
        bufferLent_ = false;
        const std::size_t end = text_.find(L'\0');
        if (end != std::wstring::npos) {
            text_.erase(end);
        }
    }
}

YGenericString::YGenericString(const YString& text)
    : text_(toUtf8(std::wstring(static_cast<const wchar_t*>(text),
                                static_cast<std::size_t>(text.length())))) {}

YGenericString::YGenericString(const YGenericString& other) = default;

YGenericString& YGenericString::operator=(const YGenericString& other) = default;

YGenericString::~YGenericString() = default;

YGenericString::operator char*() { return text_.data(); }
