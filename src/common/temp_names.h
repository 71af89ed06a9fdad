// The names of an output's temporary files, shared by the POSIX and Windows output files:
// ".kx-<pid>-XXXXXX.tmp", short whatever the target's name, and naming the process that may
// remove it once that process is gone.
#pragma once

#include <cstddef>
#include <random>
#include <string>

namespace kx_temp {

constexpr char kPrefix[] = ".kx-";
constexpr char kSuffix[] = ".tmp";
constexpr size_t kRandom = 6;  // characters after the pid
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A fresh temporary file name (no folder) of process `pid`.
inline std::string name_for(unsigned long long pid) {
    thread_local std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string n = kPrefix + std::to_string(pid) + "-";
    for (size_t i = 0; i < kRandom; ++i) n += kAlphabet[pick(random)];
    return n + kSuffix;
}

// The pid a temporary file name carries, or 0 for any other name.
inline unsigned long long pid_of(const std::string& s) {
    const size_t prefix = sizeof kPrefix - 1;
    const size_t suffix = sizeof kSuffix - 1;
    if (s.size() < prefix + 2 + kRandom + suffix || s.compare(0, prefix, kPrefix) != 0 ||
        s.compare(s.size() - suffix, suffix, kSuffix) != 0) {
        return 0;
    }
    const size_t dash = s.size() - suffix - kRandom - 1;
    if (s[dash] != '-' || dash == prefix || dash - prefix > 10) return 0;
    unsigned long long pid = 0;
    for (size_t i = prefix; i < dash; ++i) {
        if (s[i] < '0' || s[i] > '9') return 0;
        pid = pid * 10 + static_cast<unsigned>(s[i] - '0');
    }
    for (size_t i = dash + 1; i < dash + 1 + kRandom; ++i) {
        const char c = s[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return 0;
    }
    return pid;
}

}  // namespace kx_temp
