#include "helixsim/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace helixsim {

namespace {

// Far above any card's state; a larger file is not an image.
constexpr off_t kMaxImage = 16 * 1024 * 1024;

[[noreturn]] void SystemError(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    const int m_fd;
};

// Created next to the image (a rename never crosses file systems); it goes away unless it was
// renamed into place. mkstemp makes it readable by its owner only: an image holds secrets.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) {
        std::string pattern = target + ".tmp-XXXXXX";
        m_fd = ::mkstemp(pattern.data());
        if (m_fd < 0) SystemError("cannot create a temporary file next to the image");
        m_name = pattern;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_renamed) ::unlink(m_name.c_str());
    }

    void WriteAll(const Bytes& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(m_fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) SystemError("cannot write the image");
            done += static_cast<size_t>(n);
        }
        if (::fsync(m_fd) != 0) SystemError("cannot flush the image");
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) SystemError("cannot close the image");
    }

    void RenameTo(const std::string& target) {
        if (::rename(m_name.c_str(), target.c_str()) != 0) SystemError("cannot replace the image");
        m_renamed = true;
    }

private:
    std::string m_name;
    int m_fd = -1;
    bool m_renamed = false;
};

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself lasts only once the directory is on the disk.
void FlushDirectory(const std::string& directory) {
    const Descriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0) SystemError("cannot open the image's directory");
    if (::fsync(dir.Get()) != 0 && errno != EINVAL) SystemError("cannot flush the image's directory");
}

}  // namespace

Bytes ReadImageFile(const std::string& path) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) SystemError("cannot open");
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) SystemError("cannot examine");
    if (!S_ISREG(info.st_mode)) throw std::runtime_error("not a regular file");
    if (info.st_size > kMaxImage) throw std::runtime_error("too large for a card image");
    Bytes data(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(file.Get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) SystemError("cannot read");
        if (n == 0) throw std::runtime_error("shorter than when it was opened");
        done += static_cast<size_t>(n);
    }
    return data;
}

void WriteImageFile(const std::string& path, const Bytes& image) {
    TemporaryFile temporary(path);
    temporary.WriteAll(image);
    temporary.RenameTo(path);
    FlushDirectory(DirectoryOf(path));
}

}  // namespace helixsim
