// Writes output files so that a failure never costs the file the target was, nor what it held.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One output file. open() follows symbolic links to the file they name (a dangling link gets
// its file) and refuses an existing target that the caller may not open for writing, before
// anything is written. The new content then goes one of two ways:
// - staged: into a temporary file ".kx-<pid>-XXXXXX.tmp" in the target's directory, flushed to
//   disk and renamed over the target by publish(); a failure or an abandoned write removes the
//   temporary file and leaves the target as it was. Used for a new file, and for a regular file
//   with one link whose owner, group and mode the temporary file can take.
// - in place: the target itself is truncated (at the first write) and written. Used for a file
//   with several links, one whose owner cannot be kept, and anything not a regular file (a
//   device, a FIFO). A descriptor's name (/dev/stdout, /dev/fd/N) is written through that
//   descriptor, where it stands. A write that fails half-way leaves a partial file.
// Every open also removes the temporary files of this module left in that directory by
// processes that no longer exist (killed before they could clean up).
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // False when the file cannot be written: missing directory, no permission on the file or
    // its directory, a directory as target, a loop of links.
    bool open(const std::string& path);
    // Appends; false once any write has failed (disk full, file-size limit, I/O error).
    bool write(const void* data, size_t size);
    // Writes at a byte offset of the new content (a count filled in after the rows).
    bool write_at(uint64_t offset, const void* data, size_t size);
    // Completes the content and flushes it to disk; a staged file is not yet in place.
    // False when any step failed, the temporary file is then removed.
    bool finish();
    // Renames a finished staged file over its target (nothing to do in place).
    bool publish();
    // finish() then publish(): false when any step failed; a staged target is then unchanged.
    bool commit();

    bool staged() const { return !in_place_; }
    // The file written once published: the target with its links followed.
    const std::string& target() const { return target_; }

private:
    void abandon();
    bool truncate_once();

    int fd_ = -1;
    bool failed_ = false;
    bool in_place_ = false;
    bool regular_ = false;  // written in place and a regular file: truncated, flushed
    bool truncated_ = false;
    bool finished_ = false;
    std::string target_;
    std::string temp_;
};

// Several output files that replace their targets together: every member is completed first
// and only then are the staged ones renamed, so a failure leaves every staged target as it was.
// Members written in place cannot wait: they are written first-come (see writing_order) and
// keep whatever was written when another member fails.
class OutputSet {
public:
    // Opens a new member; nullptr when it cannot be written (nothing is written then).
    OutputFile* open(const std::string& path);
    OutputFile& operator[](size_t i) { return *files_[i]; }
    size_t size() const { return files_.size(); }
    // Member indices, staged members first: in-place members are written only once every
    // staged member has been written without fault.
    std::vector<size_t> writing_order() const;
    // Finishes every member, then publishes them all. False when any member failed; then no
    // staged member has replaced its target.
    bool commit();

private:
    std::vector<std::unique_ptr<OutputFile>> files_;
};

// Makes every output of this process fail from its next open or write on, so that conversions
// running in other threads end promptly (and leave their targets as they were) when the
// process is about to exit on a signal. It cannot be undone.
void _stop_all_outputs();
// Steps of writing an output file that tests can make fail (see _fail_output_step).
enum class OutputStep { write, fsync, close, rename, count };

// Test seam: the `nth` call (from 1) of `step` from now on, in any output of this process, fails
// as the system would fail it (EIO); 0 disarms it. Lets tests reach the failures of a full or
// broken disk that no file system here produces on demand.
void _fail_output_step(OutputStep step, int nth);

// True once _stop_all_outputs() was called: long decoding steps end early too, since what they
// make could no longer be written.
bool _outputs_stopped();

// True when `output` names an existing file that is also one of `inputs` (same device and
// inode, links followed), whatever the spelling: writing it would destroy an input.
bool _output_is_input(const std::string& output, const std::vector<std::string>& inputs);

// Why a set of files could not be opened; nothing was touched.
enum class kx_WriteError {
    none,
    outputIsInput,  // a path is one of the inputs (links followed)
    openFailed,     // a path cannot be opened for writing
};

// Opens every path of a set into *set, refusing any that is one of inputs before any is opened;
// the set is then written piece by piece. On an error, *failed is the path.
kx_WriteError _open_file_set(const std::vector<std::string>& paths, const std::vector<std::string>& inputs,
                             OutputSet* set, std::string* failed);

