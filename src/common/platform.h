// What differs between the systems the module builds on, kept to file names: the module takes
// and gives UTF-8 paths everywhere; Windows opens files by UTF-16 names (its wide API).
#pragma once

#include <filesystem>
#include <string>

// The path to open a UTF-8 file name with (std::ifstream, std::filesystem).
inline std::filesystem::path kx_path(const std::string& utf8) {
#ifdef _WIN32
    return std::filesystem::u8path(utf8);
#else
    return std::filesystem::path(utf8);
#endif
}

#ifdef _WIN32
// UTF-8 to UTF-16 and back; empty for text that is not valid in its encoding, which no file
// can be named, so opening it fails.
std::wstring kx_widen(const std::string& utf8);
std::string kx_narrow(const std::wstring& utf16);
#endif
