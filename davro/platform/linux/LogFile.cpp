// rewriteLinesFile on Linux: a non-blocking open that refuses everything but a regular file.
//
// A report must never wait on its file: a FIFO with no reader would block a plain open for
// writing for ever, a reader that stops reading would block the write, and the caller may
// hold a lock that every other report needs. So the file is opened with O_NONBLOCK (a FIFO
// without a reader then fails at once with ENXIO), O_NOFOLLOW (a symbolic link planted at
// the path fails with ELOOP and its target is never touched) and O_NOCTTY; the kind is then
// checked on the open descriptor, so nothing else is written to. O_TRUNC cuts regular files
// only: Linux ignores it for FIFOs and devices, which are refused before any write.
#include <davro/platform/detail/LogFile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace davro::platform {
namespace {

// Closes the descriptor on every path out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);  // not retried on EINTR: Linux has released the descriptor anyway
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;  // no progress: give up rather than spin
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool rewriteLinesFile(const std::string& path, const std::vector<std::string>& lines) {
    int fd = -1;
    do {
        fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                  S_IRUSR | S_IWUSR);
    } while (fd < 0 && errno == EINTR);
    const Descriptor file(fd);
    if (file.get() < 0) {
        return false;
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    return writeAll(file.get(), text.data(), text.size());
}

}  // namespace davro::platform
