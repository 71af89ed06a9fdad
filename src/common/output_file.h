// Writes an output file so that a failure never destroys what the target held before.
#pragma once

#include <cstddef>
#include <string>

// A regular target (or a missing one) is written to a temporary file in the same directory
// and renamed over the target only by commit(); a failed or abandoned write removes the
// temporary file and leaves the target as it was. A target that exists and is not a regular
// file (a device, a FIFO) is written in place: renaming over it would replace the node itself.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // False when the file cannot be created (missing directory, no permission, a directory).
    bool open(const std::string& path);
    // False once any write has failed (disk full, file-size limit, I/O error).
    bool write(const void* data, size_t size);
    // Closes the file and puts it in place. False when any step failed; then nothing changed.
    bool commit();

private:
    void abandon();

    int fd_ = -1;
    bool failed_ = false;
    bool in_place_ = false;
    std::string target_;
    std::string temp_;
};
