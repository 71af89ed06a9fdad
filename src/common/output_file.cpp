// Output files replaced only once complete: temporary file, then rename.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name no other writer in this or another process picks at the same time.
std::string temporary_name(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random(std::random_device{}());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.%08x.tmp", static_cast<long>(getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(random()));
    return directory_of(target) + "/." + name_of(target) + suffix;
}

}  // namespace

OutputFile::~OutputFile() {
    abandon();
}

void OutputFile::abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

bool OutputFile::open(const std::string& path) {
    abandon();
    failed_ = false;
    in_place_ = false;
    target_ = path;

    struct stat st;
    mode_t mode = 0666;  // the umask applies, as for any new file
    bool keep_mode = false;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            in_place_ = true;
        } else {
            // Replacing a file keeps its permissions; a link is followed to the file it names.
            mode = st.st_mode & 07777;
            keep_mode = true;
            char resolved[PATH_MAX];
            if (::realpath(path.c_str(), resolved) != nullptr) target_ = resolved;
        }
    }

    if (in_place_) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return fd_ >= 0;
    }
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        temp_ = temporary_name(target_);
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temp_.clear();
        return false;
    }
    if (keep_mode) ::fchmod(fd_, mode);
    return true;
}

bool OutputFile::write(const void* data, size_t size) {
    if (fd_ < 0 || failed_) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool OutputFile::commit() {
    if (fd_ < 0) return false;
    const int fd = fd_;
    fd_ = -1;
    const bool closed = ::close(fd) == 0;
    if (failed_ || !closed) {
        abandon();
        return false;
    }
    if (in_place_) return true;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        abandon();
        return false;
    }
    temp_.clear();
    return true;
}
