// rewriteLinesFile on Windows, through the C++ standard stream.
//
// out|ate without app or in opens as fopen's "w": an existing file is cut to zero length.
// Text mode: each "\n" is stored as CR LF. The stream sits on the C runtime's fopen, whose
// share mode is deny-none (_SH_DENYNO), so other programs may hold the file open
// meanwhile. A file that cannot be opened leaves the stream failed: the writes then do
// nothing and the text is lost.
#include <davro/platform/detail/LogFile.h>

#include <fstream>

namespace davro::platform {

bool rewriteLinesFile(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream file(path, std::ios_base::out | std::ios_base::ate);
    // The lines wait in the stream's buffer until the flush, so text shorter than that
    // buffer reaches the file in one write.
    for (const std::string& line : lines) {
        file << line << '\n';
    }
    file << std::flush;
    file.close();
    return !file.fail();
}

}  // namespace davro::platform
