// davro-demo: a host program that puts the library to work, one stage at a time, and
// checks what each stage did. See --help.
#include <davro/platform/Environment.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Os.h"
#include "Report.h"
#include "Stages.h"

namespace {

using demo::allStages;
using demo::Stage;

void usage() {
    std::puts(
        "usage: davro-demo [--stage NAME] [--list] [--help]\n"
        "\n"
        "Runs every stage (or only NAME) of the Davro demo, printing what happens, and a\n"
        "summary at the end. The exit code is 0 only when every stage that ran passed its\n"
        "own checks; a stage that cannot run on this system is skipped and says why.\n"
        "\n"
        "  --stage NAME  run this stage only (see --list); may be given more than once\n"
        "  --list        list the stages\n"
        "  --help        show this text");
}

void list() {
    for (const Stage& stage : allStages()) {
        std::printf("  %-12s %s\n", stage.name, stage.title);
    }
}

// The part that a stage runs in a second copy of the demo.
int runChild(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[2], "named-mutex") == 0) {
        return demo::namedMutexChild(argv[3], argv[4]);
    }
    if (argc >= 3 && std::strcmp(argv[2], "deadlock") == 0) {
        return demo::deadlockChild();
    }
    std::fprintf(stderr, "davro-demo: unknown child role\n");
    return 2;
}

struct Outcome {
    const Stage* stage;
    double seconds;
    bool failed;
    bool skipped;
    std::string summary;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<const Stage*> chosen;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--child") {
            return runChild(argc, argv);
        }
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (arg == "--list") {
            list();
            return 0;
        }
        if (arg == "--stage" && i + 1 == argc) {
            std::fprintf(stderr, "davro-demo: --stage needs a stage name (see --list)\n");
            return 2;
        }
        if (arg == "--stage") {
            const std::string name = argv[++i];
            const Stage* found = nullptr;
            for (const Stage& stage : allStages()) {
                found = name == stage.name ? &stage : found;
            }
            if (found == nullptr) {
                std::fprintf(stderr, "davro-demo: no stage '%s'; these are:\n", name.c_str());
                list();
                return 2;
            }
            chosen.push_back(found);
            continue;
        }
        std::fprintf(stderr, "davro-demo: unknown option '%s'\n\n", arg.c_str());
        usage();
        return 2;
    }
    if (chosen.empty()) {
        for (const Stage& stage : allStages()) {
            chosen.push_back(&stage);
        }
    }

    using Clock = std::chrono::steady_clock;
    const bool terminal = demo::stdoutIsTerminal();
    const auto begin = Clock::now();
    std::printf("Davro demo: %zu stage%s\n", chosen.size(), chosen.size() == 1 ? "" : "s");
    if (davro::platform::timeScale() != 1) {
#if defined(_WIN32)
        const char* reach = "the watchdog's slice";
#else
        const char* reach = "every time limit of the demo too";
#endif
        std::printf(
            "note: DAVRO_TIME_SCALE=%u shortens %s, so stages may fail; the deadlock stage "
            "sets it for its child itself\n",
            davro::platform::timeScale(), reach);
    }
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const Stage& stage = *chosen[i];
        std::printf("\n[%zu/%zu] %s: %s\n", i + 1, chosen.size(), stage.name, stage.title);
        std::fflush(stdout);
        demo::Report report(terminal);
        const auto start = Clock::now();
        stage.run(report);
        report.endProgress();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (report.failed()) {
            std::printf("      => FAILED after %.2f s: %s\n", seconds,
                        report.firstFailure().c_str());
        } else if (report.skipped()) {
            std::printf("      => skipped\n");
        } else {
            std::printf("      => ok (%.2f s)\n", seconds);
        }
        std::fflush(stdout);
        outcomes.push_back({&stage, seconds, report.failed(), report.skipped(),
                            report.failed() ? report.firstFailure() : report.summaryText()});
    }

    int failed = 0;
    int skipped = 0;
    std::printf("\nSummary\n");
    for (const Outcome& outcome : outcomes) {
        const char* verdict = outcome.failed ? "FAILED" : outcome.skipped ? "skipped" : "ok";
        failed += outcome.failed ? 1 : 0;
        skipped += outcome.skipped && !outcome.failed ? 1 : 0;
        std::printf("  %-12s %-7s %6.2f s  %s\n", outcome.stage->name, verdict, outcome.seconds,
                    outcome.summary.c_str());
    }
    const double total = std::chrono::duration<double>(Clock::now() - begin).count();
    const int passed = static_cast<int>(outcomes.size()) - failed - skipped;
    std::printf("%d passed, %d failed, %d skipped in %.1f s\n", passed, failed, skipped, total);
    return failed == 0 ? 0 : 1;
}
