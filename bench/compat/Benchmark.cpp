// The harness behind compat/benchmark/benchmark.h: options, the timed runs, the console
// table and the JSON file that bench/report.py reads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace benchmark {

namespace {

constexpr IterationCount kMaxIterations = 1000000000;

struct Options {
    std::string filter;
    double minTime = 0.5;
    int repetitions = 1;
    std::string out;
    std::string outFormat = "json";
    std::string format = "console";
    bool listTests = false;
    bool reportAggregatesOnly = false;
    bool displayAggregatesOnly = false;
    std::string executable;
};

Options& options() {
    static Options value;
    return value;
}

std::vector<std::unique_ptr<Benchmark>>& registry() {
    static std::vector<std::unique_ptr<Benchmark>> value;
    return value;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The CPU time of the calling thread, user and kernel.
double threadCpuSeconds() {
#if defined(_WIN32)
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    auto ticks = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) * 100e-9;  // 100 ns units
#else
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

double unitPerSecond(TimeUnit unit) {
    switch (unit) {
        case kSecond:
            return 1;
        case kMillisecond:
            return 1e3;
        case kMicrosecond:
            return 1e6;
        case kNanosecond:
            break;
    }
    return 1e9;
}

const char* unitName(TimeUnit unit) {
    switch (unit) {
        case kSecond:
            return "s";
        case kMillisecond:
            return "ms";
        case kMicrosecond:
            return "us";
        case kNanosecond:
            break;
    }
    return "ns";
}

// One benchmark with one thread count, as it is run and named.
struct Instance {
    const Benchmark* benchmark;
    std::string name;
    int threads;
    int familyIndex;
    int instanceIndex;
};

// What one run of an instance measured, summed over its threads (wall time averaged).
struct Measurement {
    IterationCount iterations = 0;
    double realSeconds = 0;
    double cpuSeconds = 0;
    double items = 0;
    UserCounters counters;
    bool error = false;
    std::string errorMessage;
};

// One line of the output: a repetition or an aggregate over the repetitions.
struct Report {
    std::string name;
    std::string runName;
    bool aggregate = false;
    std::string aggregateName;
    int repetitions = 1;
    int repetitionIndex = 0;
    int threads = 1;
    IterationCount iterations = 0;
    double realTime = 0;
    double cpuTime = 0;
    TimeUnit unit = kNanosecond;
    bool hasItems = false;
    double itemsPerSecond = 0;
    std::map<std::string, double> counters;
    bool error = false;
    std::string errorMessage;
    int familyIndex = 0;
    int instanceIndex = 0;
};

}  // namespace

// ---- Registration ----

Benchmark::Benchmark(std::string name, Function function) {
    settings_.name = std::move(name);
    settings_.function = function;
}

Benchmark* Benchmark::Name(const std::string& name) {
    settings_.name = name;
    return this;
}

Benchmark* Benchmark::Threads(int threads) {
    settings_.threads.push_back(std::max(1, threads));
    return this;
}

Benchmark* Benchmark::UseRealTime() {
    settings_.realTime = true;
    return this;
}

Benchmark* Benchmark::Iterations(IterationCount iterations) {
    settings_.iterations = std::max<IterationCount>(1, iterations);
    return this;
}

Benchmark* Benchmark::Unit(TimeUnit unit) {
    settings_.unit = unit;
    return this;
}

Benchmark* internal::RegisterBenchmarkInternal(Benchmark* benchmark) {
    registry().emplace_back(benchmark);
    return benchmark;
}

// ---- One run: `threads` threads, each running the loop `iterations` times ----

namespace internal {

class Run {
public:
    Run(const Instance& instance, IterationCount iterations)
        : instance_(instance), iterations_(iterations) {}

    Measurement execute() {
        std::vector<std::thread> others;
        for (int i = 1; i < instance_.threads; ++i) {
            others.emplace_back([this, i] { runThread(i); });
        }
        runThread(0);
        for (std::thread& t : others) {
            t.join();
        }
        // Each thread timed itself over the same interval: the run's wall time is their mean.
        result_.realSeconds /= instance_.threads;
        return result_;
    }

    // Holds every thread until all have arrived, so that they start (and stop) their
    // loops together.
    void barrier() {
        if (instance_.threads == 1) {
            return;
        }
        std::unique_lock<std::mutex> hold(mutex_);
        const unsigned generation = generation_;
        if (++arrived_ == instance_.threads) {
            arrived_ = 0;
            ++generation_;
            allArrived_.notify_all();
        } else {
            allArrived_.wait(hold, [&] { return generation != generation_; });
        }
    }

private:
    void runThread(int index) {
        State state(iterations_, index, instance_.threads, this);
        instance_.benchmark->settings().function(state);
        if (!state.started_ && !state.error_) {
            state.error_ = true;
            state.errorMessage_ = "the benchmark ran no loop";
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        result_.iterations += state.completed_;
        result_.realSeconds += state.realSeconds_;
        result_.cpuSeconds += state.cpuSeconds_;
        result_.items += static_cast<double>(state.itemsProcessed_);
        for (const auto& [name, counter] : state.counters) {
            Counter& sum = result_.counters[name];
            sum.value += counter.value;
            sum.flags = counter.flags;
        }
        if (state.error_ && !result_.error) {
            result_.error = true;
            result_.errorMessage = state.errorMessage_;
        }
    }

    const Instance& instance_;
    IterationCount iterations_;
    std::mutex mutex_;
    std::condition_variable allArrived_;
    int arrived_ = 0;
    unsigned generation_ = 0;
    Measurement result_;
};

}  // namespace internal

// ---- State ----

State::State(IterationCount iterations, int threadIndex, int threads, internal::Run* run)
    : maxIterations_(iterations), threadIndex_(threadIndex), threads_(threads), run_(run) {}

void State::startLoop() {
    run_->barrier();
    started_ = true;
    ResumeTiming();
}

void State::finishLoop() {
    if (finished_) {
        return;
    }
    PauseTiming();
    completed_ = error_ ? 0 : maxIterations_;
    finished_ = true;
    run_->barrier();
}

void State::PauseTiming() {
    if (paused_ || !started_) {
        return;
    }
    cpuSeconds_ += threadCpuSeconds() - cpuStart_;
    realSeconds_ += wallSeconds() - realStart_;
    paused_ = true;
}

void State::ResumeTiming() {
    paused_ = false;
    realStart_ = wallSeconds();
    cpuStart_ = threadCpuSeconds();
}

void State::SkipWithError(const char* message) {
    error_ = true;
    errorMessage_ = message ? message : "";
}

// ---- Reports ----

namespace {

Report reportOf(const Instance& instance, const Measurement& m, int repetitions, int index) {
    const Benchmark::Settings& b = instance.benchmark->settings();
    Report r;
    r.name = instance.name;
    r.runName = instance.name;
    r.repetitions = repetitions;
    r.repetitionIndex = index;
    r.threads = instance.threads;
    r.iterations = m.iterations;
    r.unit = b.unit;
    r.error = m.error;
    r.errorMessage = m.errorMessage;
    r.familyIndex = instance.familyIndex;
    r.instanceIndex = instance.instanceIndex;
    if (m.error || m.iterations == 0) {
        return r;
    }
    const double perIteration = unitPerSecond(b.unit) / static_cast<double>(m.iterations);
    r.realTime = m.realSeconds * perIteration;
    r.cpuTime = m.cpuSeconds * perIteration;
    const double seconds = b.realTime ? m.realSeconds : m.cpuSeconds;
    if (m.items > 0) {
        r.hasItems = true;
        r.itemsPerSecond = seconds > 0 ? m.items / seconds : 0;
    }
    for (const auto& [name, counter] : m.counters) {
        r.counters[name] = counter.flags == Counter::kIsRate
                               ? (seconds > 0 ? counter.value / seconds : 0)
                               : counter.value;
    }
    return r;
}

// Mean, median, standard deviation and coefficient of variation over the repetitions, as
// Google Benchmark adds them.
std::vector<Report> aggregatesOf(const std::vector<Report>& runs) {
    std::vector<Report> result;
    if (runs.size() < 2 ||
        std::any_of(runs.begin(), runs.end(), [](const Report& r) { return r.error; })) {
        return result;
    }
    auto mean = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v) {
            sum += x;
        }
        return sum / static_cast<double>(v.size());
    };
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    auto stddev = [&](const std::vector<double>& v) {
        const double m = mean(v);
        double sum = 0;
        for (double x : v) {
            sum += (x - m) * (x - m);
        }
        return std::sqrt(sum / static_cast<double>(v.size() - 1));
    };
    auto cv = [&](const std::vector<double>& v) {
        const double m = mean(v);
        return m != 0 ? stddev(v) / m : 0;
    };
    using Statistic = std::function<double(const std::vector<double>&)>;
    const std::pair<const char*, Statistic> statistics[] = {
        {"mean", mean}, {"median", median}, {"stddev", stddev}, {"cv", cv}};
    for (const auto& [name, statistic] : statistics) {
        Report a = runs.front();
        a.name = a.runName + "_" + name;
        a.aggregate = true;
        a.aggregateName = name;
        a.iterations = static_cast<IterationCount>(runs.size());
        auto over = [&](auto field) {
            std::vector<double> values;
            for (const Report& r : runs) {
                values.push_back(field(r));
            }
            return statistic(values);
        };
        a.realTime = over([](const Report& r) { return r.realTime; });
        a.cpuTime = over([](const Report& r) { return r.cpuTime; });
        if (a.hasItems) {
            a.itemsPerSecond = over([](const Report& r) { return r.itemsPerSecond; });
        }
        for (auto& [counter, value] : a.counters) {
            value = over([&](const Report& r) {
                const auto found = r.counters.find(counter);
                return found != r.counters.end() ? found->second : 0.0;
            });
        }
        result.push_back(a);
    }
    return result;
}

std::string humanNumber(double value) {
    const char* suffix = "";
    for (const char* next : {"k", "M", "G", "T"}) {
        if (std::fabs(value) < 1000) {
            break;
        }
        value /= 1000;
        suffix = next;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.5g%s", value, suffix);
    return text;
}

void printHeader() {
    std::printf("%s\n%-60s %15s %15s %12s\n%s\n", std::string(105, '-').c_str(), "Benchmark",
                "Time", "CPU", "Iterations", std::string(105, '-').c_str());
}

// A time with three or four significant digits and no exponent.
std::string timeText(double value, TimeUnit unit) {
    char text[64];
    const int decimals = value >= 100 ? 0 : value >= 10 ? 1 : 2;
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unitName(unit));
    return text;
}

void printReport(const Report& r) {
    if (r.error) {
        std::printf("%-60s ERROR OCCURRED: '%s'\n", r.name.c_str(), r.errorMessage.c_str());
        return;
    }
    const bool percentage = r.aggregate && r.aggregateName == "cv";
    if (percentage) {
        std::printf("%-60s %14.2f%% %14.2f%% %12lld", r.name.c_str(), r.realTime * 100,
                    r.cpuTime * 100, static_cast<long long>(r.iterations));
    } else {
        std::printf("%-60s %15s %15s %12lld", r.name.c_str(), timeText(r.realTime, r.unit).c_str(),
                    timeText(r.cpuTime, r.unit).c_str(), static_cast<long long>(r.iterations));
    }
    if (percentage) {
        if (r.hasItems) {
            std::printf(" items_per_second=%.2f%%", r.itemsPerSecond * 100);
        }
        for (const auto& [name, value] : r.counters) {
            std::printf(" %s=%.2f%%", name.c_str(), value * 100);
        }
    } else {
        if (r.hasItems) {
            std::printf(" items_per_second=%s/s", humanNumber(r.itemsPerSecond).c_str());
        }
        for (const auto& [name, value] : r.counters) {
            std::printf(" %s=%s", name.c_str(), humanNumber(value).c_str());
        }
    }
    std::printf("\n");
    std::fflush(stdout);
}

// ---- JSON ----

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string number(double value) {
    if (!std::isfinite(value)) {
        value = 0;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string hostName() {
#if defined(_WIN32)
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "";
#else
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

// The current time in UTC, as ISO 8601 writes it.
std::string isoDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    return text;
}

// The Wine release that runs this program, empty on Windows itself and elsewhere.
std::string wineVersion() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return "";
    }
    using VersionFunction = const char* (*)();
    const FARPROC address = GetProcAddress(ntdll, "wine_get_version");
    if (address == nullptr) {
        return "";
    }
    const auto function = reinterpret_cast<VersionFunction>(reinterpret_cast<void (*)()>(address));
    const char* version = function();
    return version ? version : "";
#else
    return "";
#endif
}

// The host's load average. Under Wine the host's files are drive Z:, which is also the
// current drive when the program starts in a host folder, so the same path reads it there.
std::vector<double> loadAverage() {
    std::vector<double> load;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a = 0;
        double b = 0;
        double c = 0;
        if (std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3) {
            load = {a, b, c};
        }
        std::fclose(f);
    }
    return load;
}

std::string jsonOf(const std::vector<Report>& reports) {
    std::string out = "{\n  \"context\": {\n";
    out += "    \"date\": " + quoted(isoDate()) + ",\n";
    out += "    \"host_name\": " + quoted(hostName()) + ",\n";
    out += "    \"executable\": " + quoted(options().executable) + ",\n";
    out += "    \"num_cpus\": " + std::to_string(std::thread::hardware_concurrency()) + ",\n";
    const std::vector<double> load = loadAverage();
    if (!load.empty()) {
        out += "    \"load_avg\": [" + number(load[0]) + "," + number(load[1]) + "," +
               number(load[2]) + "],\n";
    }
    const std::string wine = wineVersion();
    if (!wine.empty()) {
        out += "    \"wine_version\": " + quoted(wine) + ",\n";
    }
    out += "    \"harness\": \"davro compat\",\n";
#if defined(NDEBUG)
    out += "    \"library_build_type\": \"release\"\n";
#else
    out += "    \"library_build_type\": \"debug\"\n";
#endif
    out += "  },\n  \"benchmarks\": [";
    const char* separator = "\n";
    for (const Report& r : reports) {
        out += separator;
        separator = ",\n";
        out += "    {\n";
        out += "      \"name\": " + quoted(r.name) + ",\n";
        out += "      \"family_index\": " + std::to_string(r.familyIndex) + ",\n";
        out += "      \"per_family_instance_index\": " + std::to_string(r.instanceIndex) + ",\n";
        out += "      \"run_name\": " + quoted(r.runName) + ",\n";
        out += std::string("      \"run_type\": ") +
               (r.aggregate ? "\"aggregate\"" : "\"iteration\"") + ",\n";
        out += "      \"repetitions\": " + std::to_string(r.repetitions) + ",\n";
        if (r.aggregate) {
            out += "      \"threads\": " + std::to_string(r.threads) + ",\n";
            out += "      \"aggregate_name\": " + quoted(r.aggregateName) + ",\n";
            out += std::string("      \"aggregate_unit\": ") +
                   (r.aggregateName == "cv" ? "\"percentage\"" : "\"time\"") + ",\n";
        } else {
            out += "      \"repetition_index\": " + std::to_string(r.repetitionIndex) + ",\n";
            out += "      \"threads\": " + std::to_string(r.threads) + ",\n";
        }
        if (r.error) {
            out += "      \"error_occurred\": true,\n";
            out += "      \"error_message\": " + quoted(r.errorMessage) + ",\n";
        }
        out += "      \"iterations\": " + std::to_string(r.iterations) + ",\n";
        out += "      \"real_time\": " + number(r.realTime) + ",\n";
        out += "      \"cpu_time\": " + number(r.cpuTime) + ",\n";
        out += std::string("      \"time_unit\": \"") + unitName(r.unit) + "\"";
        if (r.hasItems) {
            out += ",\n      \"items_per_second\": " + number(r.itemsPerSecond);
        }
        for (const auto& [name, value] : r.counters) {
            out += ",\n      " + quoted(name) + ": " + number(value);
        }
        out += "\n    }";
    }
    out += "\n  ]\n}\n";
    return out;
}

// ---- The instances, by the names Google Benchmark gives them ----

std::vector<Instance> instances() {
    std::vector<Instance> result;
    int family = 0;
    for (const auto& b : registry()) {
        const Benchmark::Settings& settings = b->settings();
        const std::vector<int> threadCounts =
            settings.threads.empty() ? std::vector<int>{1} : settings.threads;
        int index = 0;
        for (int threads : threadCounts) {
            std::string name = settings.name;
            if (settings.iterations > 0) {
                name += "/iterations:" + std::to_string(settings.iterations);
            }
            if (settings.realTime) {
                name += "/real_time";
            }
            if (!settings.threads.empty()) {
                name += "/threads:" + std::to_string(threads);
            }
            result.push_back(Instance{b.get(), name, threads, family, index++});
        }
        ++family;
    }
    return result;
}

bool selected(const std::string& name) {
    std::string filter = options().filter;
    if (filter.empty() || filter == "all") {
        return true;
    }
    bool negative = false;
    if (filter[0] == '-') {
        negative = true;
        filter.erase(0, 1);
    }
    return std::regex_search(name, std::regex(filter)) != negative;
}

// The next iteration count to try after a run of `iterations` that took `seconds`: enough
// for the minimum time with some room, at most ten times as many while the run was too
// short to extrapolate from.
IterationCount nextIterations(IterationCount iterations, double seconds, double minTime) {
    double factor = minTime * 1.4 / std::max(seconds, 1e-9);
    if (seconds / minTime <= 0.1) {
        factor = 10;
    }
    const double next =
        std::max(factor * static_cast<double>(iterations), static_cast<double>(iterations) + 1);
    return static_cast<IterationCount>(std::min(std::round(next), double(kMaxIterations)));
}

bool parseFlag(const char* argument, const char* flag, std::string* value) {
    const std::size_t length = std::strlen(flag);
    if (std::strncmp(argument, flag, length) != 0) {
        return false;
    }
    if (argument[length] == '=') {
        *value = argument + length + 1;
        return true;
    }
    if (argument[length] == '\0') {
        *value = "true";
        return true;
    }
    return false;
}

bool isTrue(const std::string& value) {
    return value == "true" || value == "1" || value == "yes" || value == "on";
}

}  // namespace

// ---- The entry points ----

void Initialize(int* argc, char** argv) {
    Options& o = options();
    o.executable = *argc > 0 ? argv[0] : "";
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const char* a = argv[i];
        std::string v;
        if (parseFlag(a, "--benchmark_filter", &v)) {
            o.filter = v;
        } else if (parseFlag(a, "--benchmark_min_time", &v)) {
            // Seconds, written "0.4" or "0.4s".
            o.minTime = std::atof(v.c_str());
        } else if (parseFlag(a, "--benchmark_repetitions", &v)) {
            o.repetitions = std::max(1, std::atoi(v.c_str()));
        } else if (parseFlag(a, "--benchmark_out", &v)) {
            o.out = v;
        } else if (parseFlag(a, "--benchmark_out_format", &v)) {
            o.outFormat = v;
        } else if (parseFlag(a, "--benchmark_format", &v)) {
            o.format = v;
        } else if (parseFlag(a, "--benchmark_list_tests", &v)) {
            o.listTests = isTrue(v);
        } else if (parseFlag(a, "--benchmark_report_aggregates_only", &v)) {
            o.reportAggregatesOnly = isTrue(v);
        } else if (parseFlag(a, "--benchmark_display_aggregates_only", &v)) {
            o.displayAggregatesOnly = isTrue(v);
        } else if (std::strncmp(a, "--benchmark_", 12) == 0) {
            std::fprintf(stderr, "%s: unknown option %s\n", o.executable.c_str(), a);
            std::exit(1);
        } else {
            argv[kept++] = argv[i];
        }
    }
    for (const std::string* format : {&o.format, &o.outFormat}) {
        if (*format != "console" && *format != "json") {
            std::fprintf(stderr, "%s: this harness writes console or json, not %s\n",
                         o.executable.c_str(), format->c_str());
            std::exit(1);
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
}

bool ReportUnrecognizedArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::fprintf(stderr, "%s: error: unrecognized command-line flag: %s\n", argv[0], argv[i]);
    }
    return argc > 1;
}

std::size_t RunSpecifiedBenchmarks() {
    const Options& o = options();
    std::vector<Instance> chosen;
    for (const Instance& i : instances()) {
        if (selected(i.name)) {
            chosen.push_back(i);
        }
    }
    if (o.listTests) {
        for (const Instance& i : chosen) {
            std::printf("%s\n", i.name.c_str());
        }
        return 0;
    }
    const bool console = o.format == "console";
    if (console) {
        std::printf("%s\n", isoDate().c_str());
        std::printf("Running %s (davro compat harness)\n", o.executable.c_str());
        if (!wineVersion().empty()) {
            std::printf("Under Wine %s\n", wineVersion().c_str());
        }
        printHeader();
    }
    std::vector<Report> all;
    for (const Instance& instance : chosen) {
        const Benchmark::Settings& b = instance.benchmark->settings();
        const int repetitions = o.repetitions;
        const double minTime = o.minTime;
        IterationCount iterations = b.iterations > 0 ? b.iterations : 1;
        std::vector<Report> runs;
        for (int repetition = 0; repetition < repetitions; ++repetition) {
            Measurement m;
            for (;;) {
                m = internal::Run(instance, iterations).execute();
                // The first repetition finds the count; the others reuse it.
                if (m.error || b.iterations > 0 || repetition > 0 || iterations >= kMaxIterations ||
                    m.realSeconds >= minTime) {
                    break;
                }
                iterations = nextIterations(iterations, m.realSeconds, minTime);
            }
            runs.push_back(reportOf(instance, m, repetitions, repetition));
            if (console && !o.displayAggregatesOnly && !o.reportAggregatesOnly) {
                printReport(runs.back());
            }
        }
        const std::vector<Report> aggregates = aggregatesOf(runs);
        if (console) {
            for (const Report& r : aggregates) {
                printReport(r);
            }
            if (aggregates.empty() && (o.displayAggregatesOnly || o.reportAggregatesOnly)) {
                printReport(runs.back());
            }
        }
        if (!o.reportAggregatesOnly || aggregates.empty()) {
            all.insert(all.end(), runs.begin(), runs.end());
        }
        all.insert(all.end(), aggregates.begin(), aggregates.end());
    }
    if (!console) {
        std::fputs(jsonOf(all).c_str(), stdout);
    }
    if (!o.out.empty()) {
        std::FILE* f = std::fopen(o.out.c_str(), "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "%s: cannot write %s\n", o.executable.c_str(), o.out.c_str());
            std::exit(1);
        }
        const std::string json = o.outFormat == "json" ? jsonOf(all) : std::string();
        std::fwrite(json.data(), 1, json.size(), f);
        std::fclose(f);
    }
    return chosen.size();
}

void Shutdown() {}

}  // namespace benchmark
