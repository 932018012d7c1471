// What a stage tells the user while it runs, and what it found.
#pragma once

#include <string>

#if defined(__GNUC__) && defined(__MINGW32__)
#define DEMO_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define DEMO_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define DEMO_PRINTF(f, a)
#endif

namespace demo {

// The console of one stage: indented lines as things happen, the outcome of every check,
// a progress bar (only when stdout is a terminal) and the one-line summary that the final
// table shows. A stage fails when any check failed; it is skipped when it said why it
// cannot run here. Used by the main thread only.
class Report {
public:
    explicit Report(bool terminal) : terminal_(terminal) {}

    // One indented line.
    void line(const char* format, ...) DEMO_PRINTF(2, 3);

    // Records a check of the stage's outcome. A failed check prints "FAILED: " and the
    // text, and fails the stage; a passed one prints nothing. Returns `ok`.
    bool check(bool ok, const char* format, ...) DEMO_PRINTF(3, 4);

    // Marks the stage as not runnable here and prints why.
    void skip(const char* format, ...) DEMO_PRINTF(2, 3);

    // Redraws the progress bar at `fraction` (0 to 1) with a short label. Does nothing when
    // stdout is not a terminal; the next line() clears the bar.
    void progress(double fraction, const char* format, ...) DEMO_PRINTF(3, 4);

    // The text of the stage's row in the final table.
    void summary(const char* format, ...) DEMO_PRINTF(2, 3);

    bool failed() const { return failures_ > 0; }
    bool skipped() const { return skipped_; }
    const std::string& summaryText() const { return summary_; }
    const std::string& firstFailure() const { return firstFailure_; }

    // Clears the progress bar, if one is shown.
    void endProgress();

private:
    bool terminal_;
    bool barShown_ = false;
    bool skipped_ = false;
    int failures_ = 0;
    std::string summary_;
    std::string firstFailure_;
};

}  // namespace demo
