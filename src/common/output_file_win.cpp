// Windows twin of the output file of output_file.cpp (same header, same promises where Windows
// has the same notions): paths are UTF-8 and go through the wide API, a staged file is flushed
// (FlushFileBuffers) and moved over its target with MoveFileExW, which replaces it in one step.
// Windows has no owner or mode to carry over: a replaced file gets the access list that its
// folder gives new files. OutputSet is shared with the POSIX build (output_file.cpp).
#include "output_file.h"
#include "temp_names.h"
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>

namespace {

std::atomic<bool> outputs_stopped{false};

constexpr auto kSweepInterval = std::chrono::seconds(10);

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// "C:\data\a.csv" -> "C:\data", "C:\a.csv" -> "C:\", "a.csv" -> ".".
std::string directory_of(const std::string& path) {
    size_t slash = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        if (is_separator(path[i])) slash = i;
    }
    if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string join(const std::string& dir, const std::string& name) {
    return !dir.empty() && is_separator(dir.back()) ? dir + name : dir + "\\" + name;
}

HANDLE open_existing(const std::wstring& path, DWORD access) {
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The file a chain of links ends at (as the system resolves it when opening), or the path itself
// when it does not exist. False for a dangling link or a path that cannot be resolved.
bool follow_links(const std::string& path, std::string* target, bool* exists) {
    const std::wstring w = kx_widen(path);
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = ::GetLastError();
        if (e != ERROR_FILE_NOT_FOUND) return false;
        *exists = false;
        *target = path;
        return true;
    }
    *exists = true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        *target = path;
        return true;
    }
    const HANDLE h = open_existing(w, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::wstring final_path(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(h, &final_path[0], static_cast<DWORD>(final_path.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(h);
    if (n == 0 || n >= final_path.size()) return false;
    final_path.resize(n);
    // "\\?\C:\dir\file" -> "C:\dir\file"; UNC and other forms are kept as they are.
    if (final_path.compare(0, 4, L"\\\\?\\") == 0 && final_path.size() > 6 && final_path[5] == L':') {
        final_path.erase(0, 4);
    }
    *target = kx_narrow(final_path);
    return !target->empty();
}

// The pid of a temporary file's name, or 0 for any other name.
DWORD temporary_pid(const std::string& s) {
    const unsigned long long pid = kx_temp::pid_of(s);
    return pid <= 0xFFFFFFFFull ? static_cast<DWORD>(pid) : 0;
}

// True when no process has this id any more (one that exited but is still held open counts as
// gone). A process this user may not query is taken as alive.
bool process_gone(DWORD pid) {
    const HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return ::GetLastError() == ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool gone = ::GetExitCodeProcess(h, &code) && code != STILL_ACTIVE;
    ::CloseHandle(h);
    return gone;
}

bool sweep_due(const std::string& dir) {
    using Clock = std::chrono::steady_clock;
    static std::mutex mutex;
    static std::map<std::string, Clock::time_point> last;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (last.size() > 1024) {
        for (auto it = last.begin(); it != last.end();) {
            it = now - it->second >= kSweepInterval ? last.erase(it) : std::next(it);
        }
    }
    auto [it, added] = last.emplace(dir, now);
    if (!added && now - it->second < kSweepInterval) return false;
    it->second = now;
    return true;
}

void remove_stale_temporaries(const std::string& dir) {
    if (!sweep_due(dir)) return;
    WIN32_FIND_DATAW found;
    const HANDLE find = ::FindFirstFileW(kx_widen(join(dir, ".kx-*.tmp")).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    const DWORD self = ::GetCurrentProcessId();
    do {
        const std::string name = kx_narrow(found.cFileName);
        const DWORD pid = temporary_pid(name);
        if (pid == 0 || pid == self || !process_gone(pid)) continue;
        ::DeleteFileW(kx_widen(join(dir, name)).c_str());
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
}

int create_temporary(const std::string& dir, std::string* name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string n = join(dir, kx_temp::name_for(::GetCurrentProcessId()));
        const int fd = ::_wopen(kx_widen(n).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                                _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            *name = n;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool write_all(int fd, const char* p, size_t size) {
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int n = ::_write(fd, p, chunk);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

OutputFile::~OutputFile() {
    abandon();
}

void OutputFile::abandon() {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::DeleteFileW(kx_widen(temp_).c_str());
    temp_.clear();
    finished_ = false;
}

void _stop_all_outputs() {
    outputs_stopped.store(true);
}

// Asked by long decoding steps so that they end early once outputs are stopped.
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

    bool exists = false;
    std::string target;
    if (path.empty() || !follow_links(path, &target, &exists)) return false;
    target_ = target;

    const std::string dir = directory_of(target_);
    if (!exists) {
        remove_stale_temporaries(dir);
        fd_ = create_temporary(dir, &temp_);
        return fd_ >= 0;
    }

    // The system's own answer to "may this caller write this file" (access lists, the read-only
    // attribute), asked before anything is written. No truncation.
    const HANDLE h = open_existing(kx_widen(target_), GENERIC_WRITE);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
    if (disk && !::GetFileInformationByHandle(h, &info)) {
        ::CloseHandle(h);
        return false;
    }
    if (disk && info.nNumberOfLinks == 1) {
        ::CloseHandle(h);
        remove_stale_temporaries(dir);
        fd_ = create_temporary(dir, &temp_);
        return fd_ >= 0;
    }
    // Several names, or a device (NUL, CON): written in place.
    fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd_ < 0) {
        ::CloseHandle(h);
        return false;
    }
    in_place_ = true;
    regular_ = disk;
    return true;
}

bool OutputFile::truncate_once() {
    if (!in_place_ || !regular_ || truncated_) return true;
    truncated_ = true;
    return ::_chsize_s(fd_, 0) == 0;
}

bool OutputFile::write(const void* data, size_t size) {
    if (outputs_stopped.load(std::memory_order_relaxed)) failed_ = true;
    if (fd_ < 0 || failed_ || finished_) return false;
    if (!truncate_once() || !write_all(fd_, static_cast<const char*>(data), size)) failed_ = true;
    return !failed_;
}

bool OutputFile::write_at(uint64_t offset, const void* data, size_t size) {
    if (outputs_stopped.load(std::memory_order_relaxed)) failed_ = true;
    if (fd_ < 0 || failed_ || finished_) return false;
    // No positioned write in the C runtime: seek there and back, as appends continue at the end.
    const __int64 end = ::_telli64(fd_);
    if (!truncate_once() || end < 0 || ::_lseeki64(fd_, static_cast<__int64>(offset), SEEK_SET) < 0 ||
        !write_all(fd_, static_cast<const char*>(data), size) || ::_lseeki64(fd_, end, SEEK_SET) < 0) {
        failed_ = true;
    }
    return !failed_;
}

bool OutputFile::finish() {
    if (finished_) return true;
    if (fd_ < 0) return false;
    if (!truncate_once()) failed_ = true;
    if (!failed_ && (!in_place_ || regular_) && ::_commit(fd_) != 0) failed_ = true;
    const int fd = fd_;
    fd_ = -1;
    if (::_close(fd) != 0) failed_ = true;
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
    if (outputs_stopped.load(std::memory_order_relaxed) ||
        !::MoveFileExW(kx_widen(temp_).c_str(), kx_widen(target_).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        abandon();
        return false;
    }
    temp_.clear();
    return true;
}

bool OutputFile::commit() {
    return finish() && publish();
}

bool _output_is_input(const std::string& output, const std::vector<std::string>& inputs) {
    // Volume serial number and file index: the identity of a file whatever its spelling.
    auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
        const HANDLE h = open_existing(kx_widen(path), 0);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = ::GetFileInformationByHandle(h, info) != 0;
        ::CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION out;
    if (!identity(output, &out)) return false;
    for (const std::string& input : inputs) {
        BY_HANDLE_FILE_INFORMATION in;
        if (identity(input, &in) && in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
            in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow) {
            return true;
        }
    }
    return false;
}
