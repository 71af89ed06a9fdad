// The decode step shared by every operation: open a recording, decode it, add its orientation,
// and say why when any of it fails.
#include <filesystem>
#include <fstream>
#include <system_error>

#include "../common/output_file.h"
#include "../common/platform.h"
#include "recording.h"

namespace {

// Why a path could not be opened: no file there, or one this process may not read.
kx_DecodeError open_error(const char* path) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(kx_path(path), ec);
    return st.type() == std::filesystem::file_type::not_found ? kx_DecodeError::missing
                                                              : kx_DecodeError::unreadable;
}

}  // namespace

kx_DecodeError _kx_openRecording(std::ifstream& in, const char* path) {
    // A FIFO would block the open until a writer comes, a device would never end: only what
    // the path names after its links, a regular file, is opened.
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(kx_path(path), ec);
    if (st.type() == std::filesystem::file_type::not_found) return kx_DecodeError::missing;
    if (st.type() != std::filesystem::file_type::regular) return kx_DecodeError::unreadable;
    in.open(kx_path(path), std::ios::in | std::ios::binary);
    return in.is_open() ? kx_DecodeError::none : open_error(path);
}

kx_DecodeError kx_decodeRecording(const char* path, kx_Recording* recording, kx_Orientation mode) {
    if (path == nullptr || recording == nullptr) return kx_DecodeError::missing;
    std::ifstream in;
    if (const kx_DecodeError opened = _kx_openRecording(in, path); opened != kx_DecodeError::none)
        return opened;
    const kx_DecodeError error = _kx_decode(&recording->config, &recording->sensors, in);
    if (error != kx_DecodeError::none) return error;
    recording->hasQuaternions = kx_computeQuaternion(&recording->config, &recording->sensors, mode);
    // An orientation cut short because the process is exiting is no orientation.
    return _outputs_stopped() ? kx_DecodeError::unreadable : kx_DecodeError::none;
}

kx_DecodeError kx_decodeConfig(const char* path, kx_Config* config) {
    if (path == nullptr || config == nullptr) return kx_DecodeError::missing;
    std::ifstream in;
    if (const kx_DecodeError opened = _kx_openRecording(in, path); opened != kx_DecodeError::none)
        return opened;
    return _kx_decodeConfig(config, in);
}

kx_DecodeError kx_scanRecording(const char* path, kx_RecordingScan* scan) {
    if (path == nullptr || scan == nullptr) return kx_DecodeError::missing;
    std::ifstream in;
    if (const kx_DecodeError opened = _kx_openRecording(in, path); opened != kx_DecodeError::none)
        return opened;
    return _kx_scan(scan, in);
}
