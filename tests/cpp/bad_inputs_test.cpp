// Damaged, hostile and impossible inputs, one group per row of the README's bad-inputs table:
// each gets a defined answer, and no failure costs the file that was there before.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base64/base64.h"
#include "frontend/binreader2.h"
#include "support/recording_builder.h"

using namespace kxtest;

namespace {

constexpr int kSkipped = 77;  // exit status of a child that could not set up its conditions

// Runs `body` in a child process and answers its exit status (128 + signal when killed).
// Resource limits, identities and mounts set up inside stay with the child.
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// As in_child, but as an unprivileged user when the tests run as root, which ignores file modes.
int as_unprivileged_user(const std::function<int()>& body) {
    return in_child([&] {
        if (geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return kSkipped;
        }
        return body();
    });
}

// Peak resident set size, in KiB, of a child running `body`.
long child_peak_rss_kib(const std::function<int()>& body, int* status) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int st = 0;
    rusage usage{};
    wait4(pid, &st, 0, &usage);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return usage.ru_maxrss;
}

class BadInputs : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = temp_dir();
        chmod(dir_.c_str(), 0755);  // an unprivileged child must reach its files
    }
    void TearDown() override { std::system(("chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::vector<std::string> entries(const std::string& sub = "") const {
        std::vector<std::string> names;
        DIR* d = opendir((dir_ + sub).c_str());
        while (dirent* e = d ? readdir(d) : nullptr) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        }
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string dir_;
    BinReader2 reader_;
};

Bytes config_header() {
    return cat({device_frame(42, 1, 2), base_frequency_frame(100), inertial_frame(2, 0x13, 100, 0),
                inertial_frame(3, 0x14, 100, 2), baro_frame(0x15, 25)});
}

// A few seconds of a device at rest, accelerometer and gyroscope at 100 Hz.
Bytes resting_recording(int blocks) {
    RecordingBuilder b;
    b.header(config_header());
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

const char kDeviceAnswer[] = "{\"deviceId\":42}";

// --- Empty, 1-byte, 511-byte, truncated files and a directory -----------------------------

TEST_F(BadInputs, ShortFilesAndDirectories) {
    const Bytes header = config_header();
    Bytes short511 = header;
    short511.resize(511, 0);
    Bytes truncated = resting_recording(3);
    truncated.resize(512 * 2 + 300);
    ::mkdir(path("a-directory.bin").c_str(), 0755);
    const struct {
        const char* name;
        Bytes bytes;
        const char* device_answer;  // readConfigDeviceId
    } cases[] = {
        {"empty.bin", {}, ""},
        {"one-byte.bin", {'K'}, ""},
        // The configuration reader decodes what is there, the missing bytes counting as zero.
        {"511.bin", short511, kDeviceAnswer},
        {"truncated.bin", truncated, kDeviceAnswer},
        {"a-directory.bin", {}, ""},
        {"missing.bin", {}, ""},
    };
    for (const auto& c : cases) {
        const std::string p = path(c.name);
        if (std::string(c.name) != "a-directory.bin" && std::string(c.name) != "missing.bin") write_file(p, c.bytes);
        EXPECT_EQ(reader_.readConfigDeviceId(p.c_str()), c.device_answer) << c.name;
        EXPECT_EQ(reader_.readConfig(p.c_str()).empty(), std::string(c.device_answer).empty()) << c.name;
    }
}

// --- Damaged header frames, all-0x00 and all-0xFF blocks ------------------------------------

TEST_F(BadInputs, DamagedConfigurationBlocks) {
    // Device frame, a 262-byte frame, then a frame whose 240 payload bytes would end beyond the
    // block: the scan stops there, keeping what came before.
    Bytes past_block = cat({device_frame(42, 1, 2), frame(9, 1, Bytes(255, 0xEE)), frame(3, 99, Bytes(240, 0x33))});
    past_block.resize(512);
    Bytes l255 = cat({frame(9, 1, Bytes(255, 0xEE)), device_frame(42, 1, 2)});
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
        // L = 0 of a known kind is malformed and skipped; the next frame still counts.
        {"L = 0", cat({frame(1, 1, {}), frame(3, 8, {}), device_frame(42, 1, 2)}), kDeviceAnswer,
         "\"unknownFrames\":\"\""},
        // L = 255: the longest frame is kept whole when unknown, and the scan goes on after it.
        {"L = 255", l255, kDeviceAnswer, "\"deviceId\":42"},
    };
    for (const auto& c : cases) {
        Bytes file = c.block0;
        file.resize(512, 0);
        // Data blocks of all 0x00 and all 0xFF behind a valid block 0 carry nothing either.
        file.insert(file.end(), 512, 0x00);
        file.insert(file.end(), 512, 0xFF);
        write_file(path("damaged.bin"), file);
        EXPECT_EQ(reader_.readConfigDeviceId(path("damaged.bin").c_str()), c.device_answer) << c.name;
        const std::string answer = reader_.readConfig(path("damaged.bin").c_str());
        EXPECT_NE(answer.find(c.must_contain), std::string::npos) << c.name << ": " << answer;
    }
    // Both blocks keep the 262-byte frame whole, and nothing of the one running past the block.
    const std::string kept = "\"unknownFrames\":\"" + base64_encode(l255.data(), 262) + "\"";
    for (const Bytes& block0 : {l255, past_block}) {
        write_file(path("kept.bin"), block0);
        EXPECT_EQ(reader_.readConfig(path("kept.bin").c_str()).find(kept), 1u);
    }
}

// --- Random bytes ---------------------------------------------------------------------------

TEST_F(BadInputs, RandomBytesGetAnAnswer) {
    std::mt19937 random(20240611);
    for (int i = 0; i < 200; ++i) {
        Bytes bytes(random() % 3000);
        for (auto& b : bytes) b = uint8_t(random());
        // Half of them open with a frame, so that the scan runs into random frames.
        if (i % 2 == 0 && bytes.size() >= 5) bytes[0] = 'K', bytes[1] = 'X';
        write_file(path("random.bin"), bytes);
        const std::string answer = reader_.readConfig(path("random.bin").c_str());
        const bool has_magic = i % 2 == 0 && bytes.size() >= 5;
        if (has_magic) {
            ASSERT_GE(answer.size(), 2u);
            EXPECT_EQ(answer.front(), '{');
            EXPECT_EQ(answer.back(), '}');
        }
        const std::string text(bytes.begin(), bytes.end());
        write_file(path("cfg.bin"), {'o', 'l', 'd'});
        const bool ok = reader_.writeConfig(path("cfg.bin").c_str(), text.c_str());
        std::vector<unsigned char> frames;
        EXPECT_EQ(ok, _assemble_config_frames(text.c_str(), &frames));
        EXPECT_EQ(read_file(path("cfg.bin")), ok ? std::string(frames.begin(), frames.end()) : "old");
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"cfg.bin", "random.bin"}));
}

// --- A sparse multi-gigabyte file -------------------------------------------------------------

TEST_F(BadInputs, SparseMultiGigabyteFileIsNotReadIntoMemory) {
    const std::string big = path("sparse.bin");
    write_file(big, resting_recording(2));
    const off_t size = off_t(5) << 30;  // beyond 32-bit sizes and offsets
    ASSERT_EQ(truncate(big.c_str(), size), 0);
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    int status = -1;
    const long rss = child_peak_rss_kib(
        [&] {
            BinReader2 r;
            return r.readConfigDeviceId(big.c_str()) == kDeviceAnswer ? 0 : 1;
        },
        &status);
    EXPECT_EQ(status, 0);
    // The child starts with this process's pages; reading the file must add little to them.
    EXPECT_LT(rss, self.ru_maxrss + 64 * 1024) << "peak RSS " << rss << " KiB";
}

// --- An unreadable file ---------------------------------------------------------------------

TEST_F(BadInputs, UnreadableFile) {
    const std::string p = path("secret.bin");
    write_file(p, resting_recording(1));
    chmod(p.c_str(), 0000);
    const int status = as_unprivileged_user([&] {
        BinReader2 r;
        return r.readConfig(p.c_str()).empty() && r.readConfigDeviceId(p.c_str()).empty() ? 0 : 1;
    });
    if (status == kSkipped) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(status, 0);
}

// --- Output directories that do not exist or are read-only --------------------------------

TEST_F(BadInputs, MissingAndReadOnlyOutputDirectories) {
    EXPECT_FALSE(reader_.writeConfig(path("no/such/dir/cfg.bin").c_str(), "baro,1"));
    EXPECT_FALSE(reader_.writeConfig((dir_ + "/").c_str(), "baro,1"));

    ::mkdir(path("ro").c_str(), 0555);
    write_file(path("ro/cfg.bin"), {'o', 'l', 'd'});
    chmod(path("ro/cfg.bin").c_str(), 0666);  // the file is writable, its directory is not
    const int status = as_unprivileged_user([&] {
        BinReader2 r;
        const bool replaced = r.writeConfig(path("ro/cfg.bin").c_str(), "baro,1");
        const bool created = r.writeConfig(path("ro/new.bin").c_str(), "baro,1");
        return !replaced && !created ? 0 : 1;
    });
    if (status == kSkipped) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(path("ro/cfg.bin")), "old");
    EXPECT_EQ(entries("/ro"), std::vector<std::string>{"cfg.bin"});
}

// --- A full disk ----------------------------------------------------------------------------

// 13 accelerometer frames, 2 device frames and 5 barometer frames: 513 bytes, one too many.
std::string text_of_bytes(int accel, int device, int baro) {
    std::string t;
    for (int i = 0; i < accel; ++i) t += "accel,100,8,0,0,0,1,1,1:";
    for (int i = 0; i < device; ++i) t += "device,1,2,3:";
    for (int i = 0; i < baro; ++i) t += "baro,25:";
    return t;
}

TEST_F(BadInputs, FullDiskKeepsThePreviousFile) {
    const std::string full_text = text_of_bytes(14, 0, 4);  // 512 bytes of frames
    const std::string target = path("cfg.bin");

    // A device that is full is written in place and the failure is reported.
    EXPECT_FALSE(reader_.writeConfig("/dev/full", full_text.c_str()));

    // A file-size limit below the new content.
    write_file(target, {'o', 'l', 'd'});
    int status = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        BinReader2 r;
        return r.writeConfig(target.c_str(), full_text.c_str()) ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(entries(), std::vector<std::string>{"cfg.bin"});

    // A small file system that is full: its own mount namespace, so nothing outside sees it.
    ::mkdir(path("small").c_str(), 0755);
    const std::string small = path("small");
    status = in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
            return kSkipped;
        }
        write_file(small + "/cfg.bin", {'o', 'l', 'd'});
        const int fd = open((small + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        const std::vector<char> chunk(4096, 'f');
        while (write(fd, chunk.data(), chunk.size()) > 0) {
        }
        close(fd);
        BinReader2 r;
        const bool written = r.writeConfig((small + "/cfg.bin").c_str(), full_text.c_str());
        DIR* d = opendir(small.c_str());
        int names = 0;
        while (dirent* e = readdir(d)) names += e->d_name[0] != '.';
        closedir(d);
        return !written && read_file(small + "/cfg.bin") == "old" && names == 2 ? 0 : 1;
    });
    if (status == kSkipped) GTEST_SKIP() << "no private mount namespace (needs root)";
    EXPECT_EQ(status, 0);
}

// --- Paths with non-ASCII characters --------------------------------------------------------

TEST_F(BadInputs, NonAsciiPaths) {
    ::mkdir(path("mesures-été").c_str(), 0755);
    const std::string p = path("mesures-été/gerät-測定-🙂.bin");
    write_file(p, resting_recording(1));
    EXPECT_EQ(reader_.readConfigDeviceId(p.c_str()), kDeviceAnswer);
    const std::string cfg = path("mesures-été/конфиг.bin");
    EXPECT_TRUE(reader_.writeConfig(cfg.c_str(), "device,7,1,1"));
    EXPECT_EQ(reader_.readConfigDeviceId(cfg.c_str()), "{\"deviceId\":7}");
}

// --- Configuration texts --------------------------------------------------------------------

TEST_F(BadInputs, ConfigurationTexts) {
    const std::string target = path("cfg.bin");
    const Bytes baro = frame(2, 2, {0x15, 25});
    const Bytes device = frame(1, 1, {0, 0, 0, 1, 2, 3});
    const Bytes raw513(513, 'K');
    const Bytes raw512 = cat({frame(9, 9, Bytes(255, 1)), frame(9, 9, Bytes(243, 2))});
    const struct {
        const char* name;
        std::string text;
        bool ok;
        Bytes file;  // when ok
    } cases[] = {
        {"stray separators", "::baro,25::,:,,:baro,25,:", true, cat({baro, baro})},
        {"leading and doubled commas", ",baro,25:baro,,25", false, {}},
        {"duplicate keys", "device,1,2,3:device,1,2,3", true, cat({device, device})},
        {"unknown keys", "Baro,25:colour,red:baro,25:unknownFrames", true, baro},
        {"huge number", "baro,99999999999999999999", false, {}},
        {"just out of range", "device,-2147483649,2,3", false, {}},
        {"range limits", "device,-2147483648,2147483647,3", true,
         frame(1, 1, {0x80, 0, 0, 0, 0xFF, 3})},
        {"512 bytes of frames", text_of_bytes(14, 0, 4), true, {}},
        {"513 bytes of frames", text_of_bytes(13, 2, 5), false, {}},
        {"512 raw bytes", "unknownFrames," + base64_encode(raw512.data(), 512), true, raw512},
        {"513 raw bytes", "unknownFrames," + base64_encode(raw513.data(), 513), false, {}},
    };
    for (const auto& c : cases) {
        write_file(target, {'o', 'l', 'd'});
        EXPECT_EQ(reader_.writeConfig(target.c_str(), c.text.c_str()), c.ok) << c.name;
        const std::string content = read_file(target);
        if (!c.ok) {
            EXPECT_EQ(content, "old") << c.name;
        } else if (!c.file.empty()) {
            EXPECT_EQ(content, std::string(c.file.begin(), c.file.end())) << c.name;
        } else {
            EXPECT_EQ(content.size(), 512u) << c.name;
        }
    }
    EXPECT_EQ(entries(), std::vector<std::string>{"cfg.bin"});
}

}  // namespace
