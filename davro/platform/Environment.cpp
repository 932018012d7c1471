// The environment settings of the platform layer. Only the standard library is used, so
// the same code serves the Linux layer and the Windows build.
#include <davro/platform/Environment.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace davro::platform {
namespace {

unsigned readTimeScale() {
    const char* text = std::getenv("DAVRO_TIME_SCALE");  // NOLINT(concurrency-mt-unsafe)
    if (text == nullptr || *text == '\0') {
        return 1;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 1000000) {
        return 1;
    }
    return static_cast<unsigned>(value);
}

// The directory that stands in for drive C when DAVRO_DRIVE_C is not set. On Linux it is
// $XDG_DATA_HOME/davro/drive_c, or ~/.local/share/davro/drive_c, created with mode 0700 so
// that other users can neither read the deadlock log nor plant files in it. On Windows the
// real drive is used.
std::string defaultDriveC() {
#if defined(_WIN32)
    return "c:";
#else
    namespace fs = std::filesystem;
    const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
    const char* home = std::getenv("HOME");           // NOLINT(concurrency-mt-unsafe)
    fs::path base;
    if (data != nullptr && *data == '/') {
        base = data;
    } else if (home != nullptr && *home != '\0') {
        base = fs::path(home) / ".local" / "share";
    } else {
        base = fs::temp_directory_path();
    }
    const fs::path drive = base / "davro" / "drive_c";
    std::error_code error;
    fs::create_directories(drive, error);
    fs::permissions(drive.parent_path(), fs::perms::owner_all, fs::perm_options::replace, error);
    fs::permissions(drive, fs::perms::owner_all, fs::perm_options::replace, error);
    return drive.string();
#endif
}

}  // namespace

unsigned timeScale() {
    static const unsigned scale = readTimeScale();
    return scale;
}

std::string mapDrivePath(const std::string& path) {
    const bool onDriveC = path.size() >= 3 && (path[0] == 'c' || path[0] == 'C') &&
                          path[1] == ':' && (path[2] == '/' || path[2] == '\\');
    if (!onDriveC) {
        return path;
    }
    const char* drive = std::getenv("DAVRO_DRIVE_C");  // NOLINT(concurrency-mt-unsafe)
    std::string mapped =
        (drive != nullptr && *drive != '\0') ? std::string(drive) : defaultDriveC();
    while (!mapped.empty() && (mapped.back() == '/' || mapped.back() == '\\')) {
        mapped.pop_back();
    }
    mapped += '/';
    for (std::size_t i = 3; i < path.size(); ++i) {
        mapped += path[i] == '\\' ? '/' : path[i];
    }
    return mapped;
}

}  // namespace davro::platform
