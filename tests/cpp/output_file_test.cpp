// Output files under failure: whichever step fails (a write, the flush to disk, the close, the
// rename), the target keeps what it held and no temporary file stays; a set replaces its
// targets only when every member reached the disk.
#include "common/output_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/recording_builder.h"

using namespace kxtest;

namespace {

const char* const kStepNames[] = {"write", "fsync", "close", "rename"};
const char* name_of(OutputStep step) {
    return kStepNames[static_cast<int>(step)];
}

class OutputFiles : public ::testing::Test {
protected:
    void SetUp() override { dir_ = temp_dir(); }
    void TearDown() override {
        for (int s = 0; s < static_cast<int>(OutputStep::count); ++s) _fail_output_step(OutputStep(s), 0);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(OutputFiles, AFailedStepLeavesTheTargetAsItWas) {
    const std::string content = "time,x\n0.01,1\n";
    for (const bool existed : {true, false}) {
        for (const OutputStep step :
             {OutputStep::write, OutputStep::fsync, OutputStep::close, OutputStep::rename}) {
            const std::string label =
                std::string(name_of(step)) + (existed ? ", existing target" : ", new target");
            const std::string target = path(std::string(name_of(step)) + (existed ? "-old.csv" : "-new.csv"));
            if (existed) write_file(target, {'o', 'l', 'd'});
            _fail_output_step(step, 1);
            OutputFile file;
            ASSERT_TRUE(file.open(target)) << label;
            file.write(content.data(), content.size());
            EXPECT_FALSE(file.commit()) << label;
            _fail_output_step(step, 0);
            if (existed)
                EXPECT_EQ(read_file(target), "old") << label;
            else
                EXPECT_FALSE(exists(target)) << label;
        }
    }
    // Nothing left behind, and without a failure the same write replaces its target.
    EXPECT_EQ(names_in(dir_).size(), 4u);
    OutputFile file;
    ASSERT_TRUE(file.open(path("write-old.csv")));
    EXPECT_TRUE(file.write(content.data(), content.size()) && file.commit());
    EXPECT_EQ(read_file(path("write-old.csv")), content);
}

TEST_F(OutputFiles, ASetReplacesItsTargetsOnlyWhenEveryMemberReachedTheDisk) {
    // The failing call: of three members written and finished in turn, one each.
    const struct {
        OutputStep step;
        int nth;
    } cases[] = {
        {OutputStep::write, 3}, {OutputStep::fsync, 2}, {OutputStep::close, 3}, {OutputStep::fsync, 1}};
    const std::vector<std::string> names = {"a.csv", "b.csv", "c.csv"};
    for (const auto& c : cases) {
        const std::string label = std::string(name_of(c.step)) + " #" + std::to_string(c.nth);
        for (const std::string& n : names) write_file(path(n), {'o', 'l', 'd'});
        _fail_output_step(c.step, c.nth);
        OutputSet set;
        for (const std::string& n : names) ASSERT_NE(set.open(path(n)), nullptr) << label;
        for (size_t i : set.writing_order()) set[i].write("new", 3);
        EXPECT_FALSE(set.commit()) << label;
        _fail_output_step(c.step, 0);
        for (const std::string& n : names) EXPECT_EQ(read_file(path(n)), "old") << label << " " << n;
        EXPECT_EQ(names_in(dir_), names) << label;
    }
    OutputSet set;
    for (const std::string& n : names) ASSERT_NE(set.open(path(n)), nullptr);
    for (size_t i : set.writing_order()) set[i].write("new", 3);
    EXPECT_TRUE(set.commit());
    for (const std::string& n : names) EXPECT_EQ(read_file(path(n)), "new") << n;
}

// A process ending on a signal stops every output: a write in flight fails, nothing takes its
// target's place, no temporary file stays, and a new output is refused. It cannot be undone,
// so it runs in a child process.
TEST_F(OutputFiles, StoppingEveryOutputKeepsTheirTargets) {
    const std::string target = path("cfg.bin");
    write_file(target, {'o', 'l', 'd'});
    const pid_t pid = fork();
    if (pid == 0) {
        OutputFile file;
        const bool started = file.open(target) && file.write("new", 3);
        _stop_all_outputs();
        const bool stopped = !file.write("er", 2) && !file.commit();
        OutputFile other;
        const bool refused = !other.open(path("other.csv"));
        _exit(started && stopped && refused && _outputs_stopped() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(names_in(dir_), std::vector<std::string>{"cfg.bin"});
}

}  // namespace
