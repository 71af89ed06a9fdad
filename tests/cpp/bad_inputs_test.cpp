// Damaged, hostile and impossible inputs (the README's bad-inputs table): each gets a defined
// answer, and no failure costs the file that was there before. Here: what needs a child process,
// another user, a limit or a mount, run for every writer, and the older reader's side; the rows
// JavaScript meets the same way are in tests/js/bad_inputs.test.js.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "bin_reader/bin_reader.h"
#include "common/config_text.h"
#include "frontend/binreader2.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

constexpr int kSkipped = 77;  // exit status of a child that could not set up its conditions
const char kDeviceAnswer[] = "{\"deviceId\":42}";
const char kLoadError[] = "{\"error\":\"Error during data loading.\"}";

// Runs `body` in a child process and answers its exit status (128 + signal when killed, 3
// for an exception). Resource limits, identities and mounts set up inside stay with the child.
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 3;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// As in_child, but as an unprivileged user when the tests run as root, which ignores file modes.
int as_unprivileged_user(const std::function<int()>& body) {
    return in_child([&] {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            return kSkipped;
        }
        return body();
    });
}

// In a child with its own mount namespace and a 16 KiB file system mounted at `dir`; needs root.
// (Source and type of the propagation change are ignored, but must be readable texts.)
int on_small_file_system(const std::string& dir, const std::function<int()>& body) {
    return in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k") != 0) {
            return kSkipped;
        }
        return body();
    });
}

// Fills the file system holding `dir` until a write fails.
void fill_up(const std::string& dir) {
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    const std::vector<char> chunk(1024, 'f');
    while (write(fd, chunk.data(), chunk.size()) > 0) {
    }
    close(fd);
}

// The "Total data points" of a CSV file, or -1 when its rows do not add up to it.
long long csv_total(const std::string& path) {
    const std::string csv = read_file(path);
    const std::string key = "\nTotal data points: ";
    const size_t at = csv.find(key);
    if (at == std::string::npos) return -1;
    const long long total = std::atoll(csv.c_str() + at + key.size());
    const long long lines = std::count(csv.begin(), csv.end(), '\n');
    return lines == 7 + total ? total : -1;
}

bool is_link(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

// Names in `dir` that this module's temporary files would have.
std::vector<std::string> temporaries_in(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& n : names_in(dir)) {
        if (n.rfind(".kx-", 0) == 0) found.push_back(n);
    }
    return found;
}

Bytes inertial_header() {
    return cat({device_frame(42, 1, 2), base_frequency_frame(100), inertial_frame(2, 0x13, 100, 0),
                inertial_frame(3, 0x14, 100, 2)});
}

// With a barometer that never sends a sample.
Bytes config_header() {
    return cat({inertial_header(), baro_frame(0x15, 25)});
}

// A device at rest, accelerometer and gyroscope at 100 Hz, 31 ticks a block.
Bytes resting_recording(int blocks, const Bytes& header = config_header()) {
    RecordingBuilder b;
    b.header(header);
    for (int k = 0; k < blocks; ++k) {
        std::vector<Record> records;
        for (int t = 0; t < 31; ++t) {
            records.push_back(xyz_record(0x13, t, 10, -20, 16384));
            records.push_back(xyz_record(0x14, t, 3, -2, 1));
        }
        b.block(uint32_t(31 * k), records);
    }
    return b.bytes();
}

class BadInputs : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_dir();
        chmod(dir_.c_str(), 0755);  // an unprivileged child must reach its files
        ::mkdir(path("out").c_str(), 0777);
        chmod(path("out").c_str(), 0777);
    }
    void TearDown() override {
        std::system(("chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Two devices with the same time marks, ready to be synchronised. (A sensor configured
    // in both without samples would close the common window to nothing.)
    std::vector<std::string> pair() const {
        const Bytes rec =
            resting_recording(2, cat({inertial_header(), settings18_frame(10, 0, 0, 20, 0, 1000)}));
        write_file(path("left.bin"), rec);
        write_file(path("right.bin"), rec);
        return {path("left.bin"), path("right.bin")};
    }
    // Every writer of the module, given the file to write; true when it reports success. The
    // synchronised set writes `<stem>.csv` from copies of the pair named `<stem>.bin`.
    struct Writer {
        const char* name;
        std::function<bool(const std::string&)> write;
        bool reports = true;  // whether its answer tells a failed write
    };
    std::vector<Writer> writers() const {
        const std::vector<std::string> recordings = pair();
        const std::string rec = recordings[0];
        const std::string in = path("sync-in");
        ::mkdir(in.c_str(), 0777);
        chmod(in.c_str(), 0777);  // an unprivileged writer names its recordings there too
        return {
            {"writeConfig",
             [](const std::string& p) { return BinReader2().writeConfig(p.c_str(), "baro,25"); }},
            {"read",
             [rec](const std::string& p) { return BinReader2().read(rec.c_str(), p.c_str()) != kLoadError; }},
            {"readAndSync2",
             [recordings, in](const std::string& p) {
                 const size_t slash = p.rfind('/');
                 const std::string stem = p.substr(slash + 1, p.size() - slash - 5);
                 unlink((in + "/" + stem + ".bin").c_str());
                 symlink(recordings[0].c_str(), (in + "/" + stem + ".bin").c_str());
                 symlink(recordings[1].c_str(), (in + "/partner.bin").c_str());
                 return BinReader2().readAndSync({in + "/" + stem + ".bin", in + "/partner.bin"},
                                                 p.substr(0, slash)) == "OK";
             }},
            // No answer reports its failures; its file says.
            {"older reader",
             [rec](const std::string& p) { return !BinReader().read(rec.c_str(), p.c_str()).empty(); },
             false},
        };
    }
    std::string dir_;
    BinReader2 reader_;
};

// --- Empty, 1-byte, 511-byte, truncated files and a directory -----------------------------

TEST_F(BadInputs, ShortFilesAndDirectoriesInTheOlderReader) {
    // The newer reader's answers for these files are checked through JavaScript.
    Bytes truncated = resting_recording(2);
    truncated.resize(512 * 2 + 300);  // block 0, block 1, then part of block 2
    ::mkdir(path("a-directory.bin").c_str(), 0755);
    Bytes short511 = config_header();
    short511.resize(511, 0);
    const Bytes empty, one_byte = {'K'};
    const struct {
        const char* name;
        const Bytes* bytes;  // null: no such file, or the directory
        long long rows;
    } cases[] = {
        {"empty.bin", &empty, 0},
        {"one-byte.bin", &one_byte, 0},
        {"511.bin", &short511, 0},
        // It writes tick 0 twice: its first block continues the instant of a previous block at
        // tick 0, and the block's unused last record has tick offset 0. Nothing of block 2.
        {"truncated.bin", &truncated, 32},
        {"a-directory.bin", nullptr, 0},
        {"missing.bin", nullptr, 0},
    };
    for (const auto& c : cases) {
        const std::string p = path(c.name);
        if (c.bytes != nullptr) write_file(p, *c.bytes);
        // It answers from what it could read, with a table of as many rows.
        const std::string csv = path("out/" + std::string(c.name) + ".csv");
        EXPECT_EQ(BinReader().read(p.c_str(), csv.c_str()).rfind("{\"createdAt\":", 0), 0u) << c.name;
        EXPECT_EQ(csv_total(csv), c.rows) << c.name;
    }
}

// --- Damaged header frames, all-0x00 and all-0xFF blocks ------------------------------------

TEST_F(BadInputs, DamagedConfigurationBlocks) {
    // Device frame, a 262-byte frame, then a frame whose 240 payload bytes would end beyond the
    // block: the scan stops there, keeping what came before.
    Bytes past_block =
        cat({device_frame(42, 1, 2), frame(9, 1, Bytes(255, 0xEE)), frame(3, 99, Bytes(240, 0x33))});
    past_block.resize(512);
    const Bytes l255 = cat({frame(9, 1, Bytes(255, 0xEE)), device_frame(42, 1, 2)});
    const struct {
        const char* name;
        Bytes block0;
        const char* device_answer;
        const char* must_contain;  // in the readConfig answer
    } cases[] = {
        {"no magic", Bytes(512, 'x'), "", ""},
        {"all 0x00", Bytes(512, 0x00), "", ""},
        {"all 0xFF", Bytes(512, 0xFF), "", ""},
        {"frame past the block", past_block, kDeviceAnswer, "\"deviceId\":42"},
        // L = 0 of a known kind is malformed and skipped, of an unknown kind kept (7 bytes,
        // "S1gJCQD//g=="); the next frame still counts.
        {"L = 0", cat({frame(1, 1, {}), frame(9, 9, {}), frame(3, 8, {}), device_frame(42, 1, 2)}),
         kDeviceAnswer, "\"unknownFrames\":\"S1gJCQD//g==\""},
        // L = 255: the longest frame is kept whole when unknown, and the scan goes on after it.
        {"L = 255", l255, kDeviceAnswer, "\"deviceId\":42"},
    };
    for (const auto& c : cases) {
        Bytes file = c.block0;
        file.resize(512, 0);
        // Data blocks of all 0x00 and all 0xFF carry no sample of a configured sensor.
        file.insert(file.end(), 512, 0x00);
        file.insert(file.end(), 512, 0xFF);
        const std::string p = path("damaged.bin");
        write_file(p, file);
        EXPECT_EQ(reader_.readConfigDeviceId(p.c_str()), c.device_answer) << c.name;
        const std::string answer = reader_.readConfig(p.c_str());
        EXPECT_NE(answer.find(c.must_contain), std::string::npos) << c.name << ": " << answer;

        const std::string csv = path("out/damaged.csv");
        std::remove(csv.c_str());
        if (std::string(c.device_answer).empty()) {
            EXPECT_EQ(reader_.read(p.c_str(), csv.c_str()), kLoadError) << c.name;
            EXPECT_FALSE(exists(csv));
        } else {
            EXPECT_NE(reader_.read(p.c_str(), csv.c_str()), kLoadError) << c.name;
            EXPECT_EQ(csv_total(csv), 0) << c.name;
        }

        // The older reader reports the 0xFF block as a bad sector (its tag is not the
        // measurement's) and reads on.
        testing::internal::CaptureStdout();
        const std::string old_answer = BinReader().read(p.c_str(), path("out/old.csv").c_str());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad sector: 255\n") << c.name;
        EXPECT_EQ(old_answer.rfind("{\"createdAt\":", 0), 0u) << c.name;
        EXPECT_GE(csv_total(path("out/old.csv")), 0) << c.name;
    }
    // Both blocks keep the 262-byte frame whole, and nothing of the one running past the block.
    const std::string kept = "\"unknownFrames\":\"" + base64_encode(l255.data(), 262) + "\"";
    for (const Bytes& block0 : {l255, past_block}) {
        write_file(path("kept.bin"), block0);
        EXPECT_EQ(reader_.readConfig(path("kept.bin").c_str()).find(kept), 1u);
    }
}

// --- Frequency 0 and gain 0 -----------------------------------------------------------------

TEST_F(BadInputs, ZeroFrequencyAndZeroGain) {
    const int32_t zero[3] = {0, 0, 0};
    const Bytes no_base =
        cat({device_frame(42, 1, 2), inertial_frame(2, 0x13, 100, 0), inertial_frame(3, 0x14, 100, 2)});
    const Bytes zero_rates = cat({device_frame(42, 1, 2), base_frequency_frame(100),
                                  inertial_frame(2, 0x13, 0, 0), inertial_frame(3, 0x14, 0, 2)});
    const Bytes zero_gain =
        cat({device_frame(42, 1, 2), base_frequency_frame(100), inertial_frame(2, 0x13, 100, 0, zero, zero),
             inertial_frame(3, 0x14, 100, 2)});
    const struct {
        const char* name;
        Bytes header;
        long long rows;
        const char* row_start;  // the first data row begins with this
    } cases[] = {
        // No base rate: no row can be placed in time, the table has its header only.
        {"base frequency 0", no_base, 0, ""},
        // Streams without a rate cannot be spaced over the rows and are left out.
        {"sensor frequency 0", zero_rates, 0, ""},
        // raw / 0: infinite values (0 / 0 would be not-a-number), written as such.
        {"gain 0", zero_gain, 62, "0.01000,0.09155,-0.06104,0.03052,inf,-inf,inf,"},
    };
    for (const auto& c : cases) {
        const std::string p = path("zero.bin");
        const std::string csv = path("out/zero.csv");
        write_file(p, resting_recording(2, c.header));
        const std::string answer = reader_.read(p.c_str(), csv.c_str());
        EXPECT_EQ(answer.rfind("{\"createdAt\":", 0), 0u) << c.name;
        EXPECT_EQ(csv_total(csv), c.rows) << c.name;
        const std::string table = read_file(csv);
        size_t row = 0;
        for (int i = 0; i < 7; ++i) row = table.find('\n', row) + 1;
        EXPECT_EQ(table.compare(row, std::string(c.row_start).size(), c.row_start), 0) << c.name << "\n"
                                                                                       << table;
        // The older reader divides by the same zeros without harm.
        BinReader().read(p.c_str(), path("out/old.csv").c_str());
        EXPECT_GE(csv_total(path("out/old.csv")), 0) << c.name;
    }
    EXPECT_NE(reader_.read(path("zero.bin").c_str(), path("out/zero.csv").c_str()).find("\"frequency\":100"),
              std::string::npos);
    write_file(path("nobase.bin"), resting_recording(1, no_base));
    EXPECT_NE(
        reader_.read(path("nobase.bin").c_str(), path("out/nobase.csv").c_str()).find("\"frequency\":0"),
        std::string::npos);

    // Synchronising a recording without a base rate: its time marks give no start (0 / 0), so
    // it keeps its times; the other one is cut as usual, and its own table has no rows.
    const Bytes marks = settings18_frame(10, 0, 0, 20, 0, 1000);
    write_file(path("a.bin"), resting_recording(2, cat({zero_gain, marks})));
    write_file(path("b.bin"), resting_recording(2, cat({no_base, marks})));
    EXPECT_EQ(reader_.readAndSync({path("a.bin"), path("b.bin")}, path("out")), "OK");
    EXPECT_EQ(csv_total(path("out/a.csv")), 62);
    EXPECT_EQ(csv_total(path("out/b.csv")), 0);
}

// --- Random bytes ---------------------------------------------------------------------------

TEST_F(BadInputs, RandomBytesGetAnAnswer) {
    std::mt19937 random(20240611);
    for (int i = 0; i < 200; ++i) {
        Bytes bytes(random() % 3000);
        for (auto& b : bytes) b = uint8_t(random());
        // Half of them open with a frame, so that the scan runs into random frames.
        const bool has_magic = i % 2 == 0 && bytes.size() >= 2;
        if (has_magic) bytes[0] = 'K', bytes[1] = 'X';
        const std::string p = path("random.bin");
        write_file(p, bytes);
        const std::string answer = reader_.readConfig(p.c_str());
        if (has_magic) {
            ASSERT_GE(answer.size(), 2u);
            EXPECT_EQ(answer.front(), '{');
            EXPECT_EQ(answer.back(), '}');
        }

        const std::string csv = path("out/random.csv");
        std::remove(csv.c_str());
        const std::string read_answer = reader_.read(p.c_str(), csv.c_str());
        if (bytes.size() < 512) {
            EXPECT_EQ(read_answer, kLoadError) << i;
        } else if (has_magic) {
            EXPECT_NE(read_answer, kLoadError) << i;
        }
        EXPECT_EQ(exists(csv), read_answer != kLoadError);
        if (exists(csv)) {
            EXPECT_GE(csv_total(csv), 0) << i;
        }

        testing::internal::CaptureStdout();  // bad sectors are reported there
        BinReader().read(p.c_str(), path("out/old.csv").c_str());
        testing::internal::GetCapturedStdout();
        EXPECT_GE(csv_total(path("out/old.csv")), 0) << i;

        const std::string text(bytes.begin(), bytes.end());
        write_file(path("cfg.bin"), {'o', 'l', 'd'});
        const bool ok = reader_.writeConfig(path("cfg.bin").c_str(), text.c_str());
        std::vector<unsigned char> frames;
        EXPECT_EQ(ok, _assemble_config_frames(text.c_str(), &frames));
        EXPECT_EQ(read_file(path("cfg.bin")), ok ? std::string(frames.begin(), frames.end()) : "old");
    }
    EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"cfg.bin", "out", "random.bin"}));
}

// --- A sparse multi-gigabyte file -------------------------------------------------------------

TEST_F(BadInputs, SparseMultiGigabyteFileIsNotReadIntoMemory) {
    const std::string big = path("sparse.bin");
    write_file(big, resting_recording(2));
    ASSERT_EQ(truncate(big.c_str(), off_t(5) << 30), 0);  // beyond 32-bit sizes and offsets
    const auto read_it = [&] {
        BinReader2 r;
        const bool config_ok = r.readConfigDeviceId(big.c_str()) == kDeviceAnswer;
        const std::string csv = path("out/sparse.csv");
        // The zero blocks carry no samples: the table holds the two real blocks.
        const bool read_ok = r.read(big.c_str(), csv.c_str()) != kLoadError && csv_total(csv) == 62;
        return config_ok && read_ok ? 0 : 1;
    };

    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 3;  // an exception
        try {
            code = read_it();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    rusage child{};
    wait4(pid, &status, 0, &child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The child starts with this process's pages; reading the file must add little to them.
    EXPECT_LT(child.ru_maxrss, self.ru_maxrss + 64 * 1024) << "peak RSS " << child.ru_maxrss << " KiB";

#if !defined(__SANITIZE_ADDRESS__)
    // Nor may it claim address space in proportion to the file: with a limit 1 GiB above what
    // the process holds, the read still answers (a failed allocation would end the process).
    EXPECT_EQ(in_child([&] {
                  long pages = 0;
                  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                      if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                      std::fclose(f);
                  }
                  const rlim_t bytes = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(1) << 30);
                  const rlimit limit{bytes, bytes};
                  if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return kSkipped;
                  return read_it();
              }),
              0);
#endif
}

// --- An unreadable file ---------------------------------------------------------------------

TEST_F(BadInputs, UnreadableFileInTheOlderReader) {
    const std::string p = path("secret.bin");
    write_file(p, resting_recording(1));
    chmod(p.c_str(), 0000);
    const int status = as_unprivileged_user(
        [&] { return BinReader().readConfig(p.c_str()) == "{\"unknownFrames\":\"\"}" ? 0 : 1; });
    if (status == kSkipped) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(status, 0);
}

// --- Links, several names, long names ------------------------------------------------------

TEST_F(BadInputs, LinksAndLongNamesKeepTheirFiles) {
    for (const Writer& w : writers()) {
        const std::string d = path(std::string("links-") + w.name);
        ::mkdir(d.c_str(), 0755);
        ASSERT_TRUE(w.write(d + "/plain.csv")) << w.name;
        const std::string fresh = read_file(d + "/plain.csv");

        // A link is followed and stays a link; a dangling one gets its file where it points.
        write_file(d + "/file.csv", {'o', 'l', 'd'});
        symlink("file.csv", (d + "/link.csv").c_str());
        symlink("made.csv", (d + "/dangling.csv").c_str());
        // Both names of a file with two see the new content.
        write_file(d + "/h1.csv", {'o', 'l', 'd'});
        link((d + "/h1.csv").c_str(), (d + "/h2.csv").c_str());
        const std::string long_name = d + "/" + std::string(251, 'n') + ".csv";  // 255 bytes
        for (const char* target : {"link.csv", "dangling.csv", "h1.csv"}) {
            EXPECT_TRUE(w.write(d + "/" + target)) << w.name << " " << target;
        }
        EXPECT_TRUE(w.write(long_name)) << w.name;
        EXPECT_TRUE(is_link(d + "/link.csv") && is_link(d + "/dangling.csv")) << w.name;
        for (const char* written : {"file.csv", "made.csv", "h1.csv", "h2.csv"}) {
            EXPECT_EQ(read_file(d + "/" + written), fresh) << w.name << " " << written;
        }
        EXPECT_EQ(stat_of(d + "/h1.csv").st_ino, stat_of(d + "/h2.csv").st_ino) << w.name;
        EXPECT_EQ(read_file(long_name), fresh) << w.name;
        EXPECT_TRUE(temporaries_in(d).empty()) << w.name;
    }
}

// --- Owners and modes -----------------------------------------------------------------------

TEST_F(BadInputs, OwnersAndModesAreKept) {
    const std::vector<Writer> all = writers();
    const mode_t mask = umask(077);  // a new file would get 0600; the old file's mode must win
    for (const Writer& w : all) {
        const std::string d = path(std::string("owners-") + w.name);
        ::mkdir(d.c_str(), 0777);
        chmod(d.c_str(), 0777);
        // Root writing over another user's file leaves it that user's, with its mode.
        const std::string theirs = d + "/theirs.csv";
        write_file(theirs, {'o', 'l', 'd'});
        chmod(theirs.c_str(), 02664);
        const bool chowned = geteuid() == 0 && chown(theirs.c_str(), 65534, 65534) == 0;
        EXPECT_TRUE(w.write(theirs)) << w.name;
        const struct stat st = stat_of(theirs);
        EXPECT_EQ(st.st_mode & 07777, 02664u) << w.name;
        if (chowned) {
            EXPECT_TRUE(st.st_uid == 65534 && st.st_gid == 65534) << w.name;
        }
        EXPECT_NE(read_file(theirs), "old") << w.name;

        // A user who may write a file but cannot give a new one its owner writes it in place.
        const std::string roots = d + "/roots.csv";
        write_file(roots, {'o', 'l', 'd'});
        chmod(roots.c_str(), 0666);
        const ino_t inode = stat_of(roots).st_ino;
        unlink((d + "/partner.csv").c_str());  // root's, which that user may not replace
        const int status = as_unprivileged_user([&] { return w.write(roots) ? 0 : 1; });
        if (status == kSkipped || geteuid() != 0) continue;
        EXPECT_EQ(status, 0) << w.name;
        EXPECT_NE(read_file(roots), "old") << w.name;
        EXPECT_EQ(stat_of(roots).st_ino, inode) << w.name;
        EXPECT_EQ(stat_of(roots).st_uid, 0u) << w.name;
        EXPECT_TRUE(temporaries_in(d).empty()) << w.name;
    }
    umask(mask);
}

// --- Read-only targets ----------------------------------------------------------------------

TEST_F(BadInputs, ReadOnlyTargetsAreRefusedAndUnchanged) {
    const std::vector<Writer> all = writers();
    for (size_t i = 0; i < all.size(); ++i) {
        ::mkdir(path("ro-" + std::to_string(i)).c_str(), 0755);
        if (geteuid() == 0) chown(path("ro-" + std::to_string(i)).c_str(), 65534, 65534);
    }
    const int status = as_unprivileged_user([&] {
        int failures = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            // The user's own file, in the user's own directory: only its mode protects it.
            const std::string d = path("ro-" + std::to_string(i));
            write_file(d + "/kept.csv", {'o', 'l', 'd'});
            chmod((d + "/kept.csv").c_str(), 0444);
            symlink("kept.csv", (d + "/via-link.csv").c_str());
            for (const char* target : {"/kept.csv", "/via-link.csv"}) {
                const bool refused = !all[i].reports || !all[i].write(d + target);
                if (all[i].reports || !refused) all[i].write(d + target);
                const bool kept = read_file(d + "/kept.csv") == "old" && temporaries_in(d).empty();
                if (!refused || !kept) failures |= 1 << i;
            }
        }
        return failures;
    });
    if (status == kSkipped) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(status, 0) << "bit per writer: writeConfig, read, readAndSync2, older reader";
}

// --- An output that is an input of the same call --------------------------------------------

TEST_F(BadInputs, OutputOverItsInputIsRefused) {
    const std::vector<std::string> recordings = pair();
    const std::string left = recordings[0];
    const std::string original = read_file(left);
    symlink(left.c_str(), path("alias.csv").c_str());
    link(left.c_str(), path("second-name.csv").c_str());
    for (const std::string& output : {left, path("alias.csv"), path("second-name.csv"), path("./left.bin")}) {
        EXPECT_EQ(reader_.read(left.c_str(), output.c_str()), kLoadError) << output;
        BinReader().read(left.c_str(), output.c_str());
        EXPECT_EQ(read_file(left), original) << output;
    }
    // A set whose table for one recording would land on another recording of the set.
    write_file(path("out/right.csv"), read_file(recordings[1]).data(), original.size());
    EXPECT_EQ(reader_.readAndSync({left, path("out/right.csv")}, path("out")), "-12");
    EXPECT_EQ(read_file(path("out/right.csv")), read_file(recordings[1]));
    EXPECT_EQ(names_in(path("out")), std::vector<std::string>{"right.csv"});
}

// --- A synchronised set that cannot be written whole ----------------------------------------

TEST_F(BadInputs, FailedSetKeepsThePreviousSet) {
    const std::vector<std::string> recordings = pair();
    const std::string third = path("third.bin");
    write_file(third, read_file(recordings[0]).data(), read_file(recordings[0]).size());
    write_file(path("out/left.csv"), {'o', 'l', 'd'});
    write_file(path("out/right.csv"), {'o', 'l', 'd'});
    // The last table goes to a full device, after the others are complete.
    symlink("/dev/full", path("out/third.csv").c_str());
    EXPECT_EQ(reader_.readAndSync({recordings[0], recordings[1], third}, path("out")), "-12");
    EXPECT_EQ(read_file(path("out/left.csv")), "old");
    EXPECT_EQ(read_file(path("out/right.csv")), "old");
    EXPECT_TRUE(temporaries_in(path("out")).empty());

    // One table that may not be written: the set is refused before anything is written.
    unlink(path("out/third.csv").c_str());
    write_file(path("out/third.csv"), {'o', 'l', 'd'});
    chmod(path("out/third.csv").c_str(), 0444);
    const int status = as_unprivileged_user([&] {
        return BinReader2().readAndSync({recordings[0], recordings[1], third}, path("out")) == "-12" ? 0 : 1;
    });
    if (status == kSkipped) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(status, 0);
    for (const char* name : {"left.csv", "right.csv", "third.csv"})
        EXPECT_EQ(read_file(path("out/") + name), "old");
    EXPECT_TRUE(temporaries_in(path("out")).empty());
}

// --- Temporary files of killed conversions --------------------------------------------------

TEST_F(BadInputs, StaleTemporaryFilesOfDeadProcessesAreRemoved) {
    const pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const pid_t alive = fork();  // a long conversion, still running
    if (alive == 0) {
        pause();
        _exit(0);
    }
    const std::string stale = ".kx-" + std::to_string(dead) + "-Ab12Cd.tmp";
    const std::string running = ".kx-" + std::to_string(alive) + "-Ab12Cd.tmp";
    const std::string mine = ".kx-" + std::to_string(getpid()) + "-Xy34Zw.tmp";
    const std::vector<std::string> others = {".kx-" + std::to_string(dead) + "-Ab12Cd.tmp.bak",
                                             ".kx-" + std::to_string(dead) + "-Ab1.tmp", "notes.tmp"};
    for (const std::string& n : others) write_file(path("out/" + n), {'x'});
    for (const std::string& n : {stale, running, mine}) write_file(path("out/" + n), {'x'});
    EXPECT_TRUE(reader_.writeConfig(path("out/cfg.bin").c_str(), "baro,25"));
    kill(alive, SIGKILL);
    waitpid(alive, nullptr, 0);
    std::vector<std::string> expected = others;
    expected.insert(expected.end(), {running, mine, "cfg.bin"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(path("out")), expected);
}

// --- A full disk ----------------------------------------------------------------------------

// Text of `accel` accelerometer, `device` device and `baro` barometer sections: 34, 13 and 9
// bytes of frames each.
std::string text_of(int accel, int device, int baro) {
    std::string t;
    for (int i = 0; i < accel; ++i) t += "accel,100,8,0,0,0,1,1,1:";
    for (int i = 0; i < device; ++i) t += "device,1,2,3:";
    for (int i = 0; i < baro; ++i) t += "baro,25:";
    return t;
}

TEST_F(BadInputs, FullDiskKeepsThePreviousFile) {
    const std::string config_text = text_of(14, 0, 4);  // 512 bytes of frames
    const std::vector<std::string> recordings = pair();

    // A device that is full is written in place and the failure is reported.
    EXPECT_FALSE(reader_.writeConfig("/dev/full", config_text.c_str()));
    EXPECT_EQ(reader_.read(recordings[0].c_str(), "/dev/full"), kLoadError);

    // A file-size limit that the new content crosses: the header of the table fits, its rows do not.
    const std::string cfg = path("out/cfg.bin");
    const std::string csv = path("out/left.csv");
    write_file(cfg, {'o', 'l', 'd'});
    write_file(csv, {'o', 'l', 'd'});
    const auto with_size_limit = [](rlim_t bytes, const std::function<bool()>& body) {
        return in_child([&] {
            signal(SIGXFSZ, SIG_IGN);  // the write then fails with an error instead of killing
            const rlimit limit{bytes, bytes};
            setrlimit(RLIMIT_FSIZE, &limit);
            return body() ? 0 : 1;
        });
    };
    EXPECT_EQ(
        with_size_limit(100, [&] { return !BinReader2().writeConfig(cfg.c_str(), config_text.c_str()); }), 0);
    EXPECT_EQ(with_size_limit(1000,
                              [&] {
                                  BinReader2 r;
                                  return r.read(recordings[0].c_str(), csv.c_str()) == kLoadError &&
                                         r.readAndSync(recordings, path("out")) == "-12";
                              }),
              0);
    EXPECT_EQ(read_file(cfg), "old");
    EXPECT_EQ(read_file(csv), "old");
    EXPECT_EQ(names_in(path("out")), (std::vector<std::string>{"cfg.bin", "left.csv"}));

    // A small file system that is full.
    const std::string small = path("small");
    ::mkdir(small.c_str(), 0755);
    const int status = on_small_file_system(small, [&] {
        write_file(small + "/cfg.bin", {'o', 'l', 'd'});
        write_file(small + "/left.csv", {'o', 'l', 'd'});
        fill_up(small);
        BinReader2 r;
        const bool config = !r.writeConfig((small + "/cfg.bin").c_str(), config_text.c_str());
        const bool read = r.read(recordings[0].c_str(), (small + "/left.csv").c_str()) == kLoadError;
        const bool sync = r.readAndSync(recordings, small) == "-12";
        const bool kept = read_file(small + "/cfg.bin") == "old" && read_file(small + "/left.csv") == "old";
        const bool clean = names_in(small) == std::vector<std::string>{"cfg.bin", "filler", "left.csv"};
        // One bit per check, so that a failure says which.
        return (config ? 0 : 1) | (read ? 0 : 2) | (sync ? 0 : 4) | (kept ? 0 : 8) | (clean ? 0 : 16);
    });
    if (status == kSkipped) GTEST_SKIP() << "no private mount namespace (needs root)";
    EXPECT_EQ(status, 0) << "1 config, 2 read, 4 sync, 8 old files, 16 leftovers";
}

// --- NUL characters inside paths ------------------------------------------------------------

TEST_F(BadInputs, NulInsidePathsTouchesNoFile) {
    const std::vector<std::string> recordings = pair();
    // A path cut at its NUL would name another file: left.bin.
    const std::string cut = recordings[0] + std::string(1, '\0') + ".other";
    EXPECT_EQ(reader_.readAndSync({cut, recordings[1]}, path("out")), "-10");
    EXPECT_EQ(reader_.readAndSync(recordings, path("out") + std::string(1, '\0') + "x"), "-12");
    EXPECT_TRUE(names_in(path("out")).empty());
}

// --- Configuration texts --------------------------------------------------------------------

TEST_F(BadInputs, OlderWriterTakesEveryTextToTheSameFile) {
    // What each text must give is checked through JavaScript; here both writers must agree.
    const Bytes raw513(513, 'K');
    const Bytes raw512 = cat({frame(9, 9, Bytes(255, 1)), frame(9, 9, Bytes(243, 2))});
    const std::string texts[] = {
        "",
        "::baro,25::,:,,:baro,25,:",
        ",baro,25:baro,,25",
        "device,1,2,3:device,1,2,3",
        "Baro,25:colour,red:baro,25:unknownFrames",
        "baro,99999999999999999999",
        "device,-2147483649,2,3",
        "device,-2147483648,2147483647,3",
        "device,12",
        "device,x,1,2",
        text_of(14, 0, 4),  // 512 bytes of frames
        text_of(13, 2, 5),  // 513
        "unknownFrames," + base64_encode(raw512.data(), 512),
        "unknownFrames," + base64_encode(raw513.data(), 513),
    };
    for (const std::string& text : texts) {
        write_file(path("newer.bin"), {'o', 'l', 'd'});
        write_file(path("older.bin"), {'o', 'l', 'd'});
        reader_.writeConfig(path("newer.bin").c_str(), text.c_str());
        BinReader().writeConfig(path("older.bin").c_str(), text.c_str());
        EXPECT_EQ(read_file(path("older.bin")), read_file(path("newer.bin"))) << text;
    }
    EXPECT_EQ(names_in(dir_), (std::vector<std::string>{"newer.bin", "older.bin", "out"}));
}

}  // namespace
