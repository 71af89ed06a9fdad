// Output files that keep their target's identity and are replaced only once complete.
#include "output_file.h"
#include "temp_names.h"

// Windows has its twin of everything here but OutputSet: output_file_win.cpp.
#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <tuple>

namespace {

// Set once the process is about to end on a signal: every output stops where it is.
std::atomic<bool> outputs_stopped{false};

// Per step, calls left before the one that fails (0: none fails); see _fail_output_step.
std::atomic<int> fail_in[static_cast<int>(OutputStep::count)];

// True when this call of `step` is the one a test asked to fail; errno is then EIO.
bool fails(OutputStep step) {
    std::atomic<int>& left = fail_in[static_cast<int>(step)];
    int n = left.load(std::memory_order_relaxed);
    while (n > 0 && !left.compare_exchange_weak(n, n - 1)) {
    }
    if (n != 1) return false;
    errno = EIO;
    return true;
}

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit on links in one lookup
// A directory is searched for stale temporary files at most this often by one process, so that
// a batch writing thousands of files into one folder reads it a few times, not thousands.
constexpr auto kSweepInterval = std::chrono::seconds(10);

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The descriptor a link of /proc/self/fd, /proc/<this pid>/fd or /dev/fd stands for, or -1.
int descriptor_named(const std::string& link) {
    const std::string dir = directory_of(link);
    if (dir != "/proc/self/fd" && dir != "/dev/fd" && dir != "/proc/" + std::to_string(::getpid()) + "/fd")
        return -1;
    const std::string n = link.substr(dir.size() + 1);
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(n);
}

// The path a chain of symbolic links ends at: an existing file that is not a link, or a missing
// one (a dangling link names the file to create). `descriptor`: the descriptor of this process
// that a link of the chain names (/dev/stdout), or -1. False on a loop or an unreadable link.
bool follow_links(const std::string& path, std::string* target, struct stat* st, bool* exists,
                  int* descriptor) {
    *descriptor = -1;
    std::string t = path;
    for (int hop = 0;; ++hop) {
        if (::lstat(t.c_str(), st) != 0) {
            if (errno != ENOENT) return false;
            *exists = false;
            break;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            break;
        }
        if (hop == kMaxLinkHops) return false;
        if (*descriptor < 0) *descriptor = descriptor_named(t);
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(t.c_str(), &link[0], link.size());
        if (n <= 0 || static_cast<size_t>(n) >= link.size()) return false;
        link.resize(static_cast<size_t>(n));
        t = link[0] == '/' ? link : directory_of(t) + "/" + link;
    }
    *target = t;
    return true;
}

// The pid of a temporary file's name, or 0 for any other name.
pid_t temporary_pid(const char* name) {
    const unsigned long long pid = kx_temp::pid_of(name);
    return pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// True when this process should search `dir` now (see kSweepInterval). Keyed by the spelling
// too, so that a new directory that reuses a removed one's inode is searched at once.
bool sweep_due(const std::string& dir, const struct stat& st) {
    using Clock = std::chrono::steady_clock;
    using Key = std::tuple<dev_t, ino_t, std::string>;
    static std::mutex mutex;
    static std::map<Key, Clock::time_point> last;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (last.size() > 1024) {
        for (auto it = last.begin(); it != last.end();) {
            it = now - it->second >= kSweepInterval ? last.erase(it) : std::next(it);
        }
    }
    auto [it, added] = last.emplace(Key{st.st_dev, st.st_ino, dir}, now);
    if (!added && now - it->second < kSweepInterval) return false;
    it->second = now;
    return true;
}

// Removes the temporary files in `dir` whose writing process no longer exists: one killed
// before it could clean up. A file whose process is alive may belong to a long conversion and
// is never touched; nor is any other file.
void remove_stale_temporaries(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !sweep_due(dir, st)) return;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    const pid_t self = ::getpid();
    while (const dirent* e = ::readdir(d)) {
        const pid_t pid = temporary_pid(e->d_name);
        if (pid == 0 || pid == self) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or another user's
        ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

// Creates ".kx-<pid>-XXXXXX.tmp" in `dir`: short whatever the target's name, so any valid target
// name works, and it names the process that may remove it. Answers the descriptor or -1.
int create_temporary(const std::string& dir, mode_t mode, std::string* name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string n = dir + "/" + kx_temp::name_for(static_cast<unsigned long long>(::getpid()));
        const int fd = ::open(n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            *name = n;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool write_all(int fd, const char* p, size_t size, const off_t* offset) {
    off_t at = offset ? *offset : 0;
    while (size > 0) {
        const ssize_t n = fails(OutputStep::write) ? -1
                          : offset                 ? ::pwrite(fd, p, size, at)
                                                   : ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A descriptor shared with Node.js (standard output) is non-blocking: wait until the
            // reader makes room, checking now and then whether the process is stopping.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (outputs_stopped.load(std::memory_order_relaxed)) return false;
                pollfd ready{fd, POLLOUT, 0};
                ::poll(&ready, 1, 100);
                continue;
            }
            return false;
        }
        p += n;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
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
    finished_ = false;
}

void _stop_all_outputs() {
    outputs_stopped.store(true);
}

void _fail_output_step(OutputStep step, int nth) {
    if (step != OutputStep::count) fail_in[static_cast<int>(step)].store(nth < 0 ? 0 : nth);
}

bool _outputs_stopped() {
    return outputs_stopped.load(std::memory_order_relaxed);
}

bool OutputFile::open(const std::string& path) {
    abandon();
    if (outputs_stopped.load(std::memory_order_relaxed)) return false;
    failed_ = false;
    in_place_ = false;
    regular_ = false;
    truncated_ = false;
    target_.clear();

    struct stat st;
    bool exists = false;
    std::string target;
    int descriptor = -1;
    if (path.empty() || !follow_links(path, &target, &st, &exists, &descriptor)) return false;
    target_ = target;

    // A descriptor's name (/dev/stdout) means that descriptor as it is: written in place at its
    // offset and with its flags (a shell's >> appends), never truncated or replaced. Opening it
    // by name would fail for a socket and start a regular file anew.
    if (descriptor >= 0) {
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
        target_ = path;
        in_place_ = true;
        fd_ = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
        return fd_ >= 0;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a FIFO: renaming over it would replace the node itself.
        in_place_ = true;
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        return fd_ >= 0;
    }

    const std::string dir = directory_of(target_);
    remove_stale_temporaries(dir);
    if (!exists) {
        fd_ = create_temporary(dir, 0666, &temp_);  // the umask applies, as for any new file
        return fd_ >= 0;
    }

    // The kernel's own answer to "may this caller write this file" (modes, access lists,
    // read-only mounts, immutable files), asked before anything is written. No truncation.
    const int target_fd = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (target_fd < 0) return false;
    if (::fstat(target_fd, &st) != 0) {
        ::close(target_fd);
        return false;
    }
    if (st.st_nlink == 1) {
        // Replaced only if the new file can be what the old one was: same owner, group and mode.
        // Created private; it gets the target's mode once it has the target's owner.
        fd_ = create_temporary(dir, 0600, &temp_);
        if (fd_ < 0) {
            // A directory the caller may not write: nothing is created there.
            ::close(target_fd);
            return false;
        }
        struct stat ts;
        const bool owner = ::fstat(fd_, &ts) == 0 && ((ts.st_uid == st.st_uid && ts.st_gid == st.st_gid) ||
                                                      ::fchown(fd_, st.st_uid, st.st_gid) == 0);
        if (owner && ::fchmod(fd_, st.st_mode & 07777) == 0) {
            ::close(target_fd);
            return true;
        }
        abandon();
    }
    // Several names, or an owner this caller cannot give: only writing the file itself keeps
    // them. It is truncated at the first write.
    in_place_ = true;
    regular_ = true;
    fd_ = target_fd;
    return true;
}

bool OutputFile::truncate_once() {
    if (!in_place_ || !regular_ || truncated_) return true;
    truncated_ = true;
    return ::ftruncate(fd_, 0) == 0;
}

bool OutputFile::write(const void* data, size_t size) {
    if (outputs_stopped.load(std::memory_order_relaxed)) failed_ = true;
    if (fd_ < 0 || failed_ || finished_) return false;
    if (!truncate_once() || !write_all(fd_, static_cast<const char*>(data), size, nullptr)) failed_ = true;
    return !failed_;
}

bool OutputFile::write_at(uint64_t offset, const void* data, size_t size) {
    if (outputs_stopped.load(std::memory_order_relaxed)) failed_ = true;
    if (fd_ < 0 || failed_ || finished_) return false;
    const off_t at = static_cast<off_t>(offset);
    if (!truncate_once() || !write_all(fd_, static_cast<const char*>(data), size, &at)) failed_ = true;
    return !failed_;
}

bool OutputFile::finish() {
    if (finished_) return true;
    if (fd_ < 0) return false;
    if (!truncate_once()) failed_ = true;
    // On disk before it takes the target's name: a crash then leaves the old file or the new
    // one, never an empty one. Devices and FIFOs have nothing to flush.
    if (!failed_ && (!in_place_ || regular_) && (fails(OutputStep::fsync) || ::fsync(fd_) != 0))
        failed_ = true;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || fails(OutputStep::close)) failed_ = true;
    if (failed_) {
        abandon();
        return false;
    }
    finished_ = true;
    return true;
}

bool OutputFile::publish() {
    if (!finished_) return false;
    if (in_place_ || temp_.empty()) return true;
    if (outputs_stopped.load(std::memory_order_relaxed) || fails(OutputStep::rename) ||
        ::rename(temp_.c_str(), target_.c_str()) != 0) {
        abandon();
        return false;
    }
    temp_.clear();
    // The directory is not flushed: that cost about 4% of a 1-hour conversion, and a crash
    // before the next writeback then leaves the old file, whole.
    return true;
}

bool OutputFile::commit() {
    return finish() && publish();
}
#endif  // !_WIN32

OutputFile* OutputSet::open(const std::string& path) {
    auto file = std::make_unique<OutputFile>();
    if (!file->open(path)) return nullptr;
    files_.push_back(std::move(file));
    return files_.back().get();
}

std::vector<size_t> OutputSet::writing_order() const {
    std::vector<size_t> order;
    for (size_t i = 0; i < files_.size(); ++i) {
        if (files_[i]->staged()) order.push_back(i);
    }
    for (size_t i = 0; i < files_.size(); ++i) {
        if (!files_[i]->staged()) order.push_back(i);
    }
    return order;
}

bool OutputSet::commit() {
    bool all = true;
    for (const auto& f : files_) all = f->finish() && all;
    if (!all) {
        files_.clear();  // removes every temporary file
        return false;
    }
    for (const auto& f : files_) all = f->publish() && all;
    files_.clear();
    return all;
}

#ifndef _WIN32
bool _output_is_input(const std::string& output, const std::vector<std::string>& inputs) {
    struct stat out;
    if (::stat(output.c_str(), &out) != 0) return false;
    for (const std::string& input : inputs) {
        struct stat in;
        if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            return true;
    }
    return false;
}
#endif  // !_WIN32

kx_WriteError _open_file_set(const std::vector<std::string>& paths, const std::vector<std::string>& inputs,
                             OutputSet* set, std::string* failed) {
    for (const std::string& path : paths) {
        *failed = path;
        if (_output_is_input(path, inputs)) return kx_WriteError::outputIsInput;
    }
    for (const std::string& path : paths) {
        *failed = path;
        if (set->open(path) == nullptr) return kx_WriteError::openFailed;
    }
    failed->clear();
    return kx_WriteError::none;
}
