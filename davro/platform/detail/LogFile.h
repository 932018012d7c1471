// Internal to the library: diagnostic files that hold one report (the deadlock log, the wait
// chain log), written without ever blocking the writer. Not installed, not exported; one
// implementation per system (linux/LogFile.cpp, windows/LogFile.cpp).
#pragma once

#include <string>
#include <vector>

namespace davro::platform {

// Replaces the contents of the file at `path` (a native path, as mapDrivePath() returns) with
// `lines`, each followed by the system's line end, creating the file when it does not exist.
// Returns true when all the text was written, false when it was lost; nothing is thrown but
// a failed allocation. The text goes out in one write, so a reader sees the file empty or
// whole.
//
// Never blocks on the file's kind: on Linux the file is opened without blocking and without
// following a symbolic link, and anything but a regular file (a FIFO, a device, a symbolic
// link, a directory) is refused and left as it is, as is a file that cannot be opened or
// written. A new file gets mode 0600. Interrupted and partial writes are continued.
// On Windows the file is written in text mode ("\n" becomes CR LF) and opened deny-none, so
// other programs may hold it open meanwhile; one that denies writing makes the text lost.
//
// Callers that need one report at a time in the file serialise their calls themselves.
bool rewriteLinesFile(const std::string& path, const std::vector<std::string>& lines);

// rewriteLinesFile with one line.
inline bool rewriteLineFile(const std::string& path, const std::string& line) {
    return rewriteLinesFile(path, std::vector<std::string>{line});
}

}  // namespace davro::platform
