#include "Report.h"

#include <cstdarg>
#include <cstdio>

namespace demo {
namespace {

std::string formatted(const char* format, std::va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

constexpr int kBarWidth = 30;
constexpr int kLineWidth = 79;

}  // namespace

// The bar is redrawn in place with a carriage return and padded to a fixed width, so that
// no terminal escape sequence is needed (a Windows console may not honour them).
void Report::endProgress() {
    if (barShown_) {
        std::printf("\r%*s\r", kLineWidth, "");
        std::fflush(stdout);
        barShown_ = false;
    }
}

void Report::line(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    endProgress();
    std::printf("      %s\n", text.c_str());
    std::fflush(stdout);
}

bool Report::check(bool ok, const char* format, ...) {
    if (ok) {
        return true;
    }
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    if (failures_++ == 0) {
        firstFailure_ = text;
    }
    endProgress();
    std::printf("      FAILED: %s\n", text.c_str());
    std::fflush(stdout);
    return false;
}

void Report::skip(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    summary_ = formatted(format, args);
    va_end(args);
    skipped_ = true;
    endProgress();
    std::printf("      skipped: %s\n", summary_.c_str());
    std::fflush(stdout);
}

void Report::progress(double fraction, const char* format, ...) {
    if (!terminal_) {
        return;
    }
    if (fraction < 0) {
        fraction = 0;
    } else if (fraction > 1) {
        fraction = 1;
    }
    std::va_list args;
    va_start(args, format);
    const std::string label = formatted(format, args);
    va_end(args);
    const int filled = static_cast<int>(fraction * kBarWidth + 0.5);
    const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '.');
    std::printf(
        "\r%-*.*s", kLineWidth, kLineWidth,
        ("      [" + bar + "] " + std::to_string(static_cast<int>(fraction * 100)) + "%  " + label)
            .c_str());
    std::fflush(stdout);
    barShown_ = true;
}

void Report::summary(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    summary_ = formatted(format, args);
    va_end(args);
}

}  // namespace demo
