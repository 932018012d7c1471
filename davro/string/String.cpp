#include <davro/platform/detail/Utf8.h>
#include <davro/string/String.h>

#include <cwchar>
#include <utility>

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
    auto magnitude = static_cast<unsigned>(value);
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
    : text_(davro::platform::toUtf8(std::wstring_view(static_cast<const wchar_t*>(text),
                                                      static_cast<std::size_t>(text.length())))) {}

YGenericString::YGenericString(const YGenericString& other) = default;

YGenericString& YGenericString::operator=(const YGenericString& other) = default;

YGenericString::~YGenericString() = default;

YGenericString::operator char*() { return text_.data(); }
