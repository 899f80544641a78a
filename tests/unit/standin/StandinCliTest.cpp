// The modemsim program: ready line, serving a client, flash files on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>

#include "StandinTestClient.h"

namespace {

using modemsim::Bytes;
using standin_test::Client;

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
};

Child Spawn(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

// Reads the child's output until the text appears or the time runs out.
bool ReadUntil(int fd, const std::string& text, int timeoutMs, std::string* seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (seen->find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen->append(buf, static_cast<size_t>(n));
    }
    return true;
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class StandinCliProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/standin-cli-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override {
        if (child_.pid > 0) {
            kill(child_.pid, SIGKILL);
            WaitExit(child_.pid);
        }
        if (child_.out >= 0)
            close(child_.out);
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    std::string root_;
    Child child_;
};

TEST_F(StandinCliProgram, ServesAClientAndWritesFlashFilesOnSigterm) {
    const std::string flash = root_ + "/flash";
    child_ = Spawn({FP_BIN_DIR "/modemsim", "--root", root_ + "/tree", "--flash-dir", flash,
                    "--scale", "0.02", "--version-after", "22.1.0"});
    ASSERT_GT(child_.pid, 0);
    std::string out;
    ASSERT_TRUE(ReadUntil(child_.out, "ready\n", 5000, &out)) << out;

    Client c;
    ASSERT_TRUE(c.Open(root_ + "/tree/dev/ttyUSB2"));
    ASSERT_EQ(c.Ask({0x3A}), Bytes{0x3A});
    const std::string node = standin_test::WaitForNode(root_ + "/tree", "p1408", 5000);
    ASSERT_FALSE(node.empty());
    ASSERT_TRUE(c.Open(root_ + "/tree/dev/" + node));
    const Bytes erase{0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
    ASSERT_EQ(c.Ask(erase, true), Bytes{0x02});
    ASSERT_EQ(c.Ask({0x42, 0, 0, 0, 1, 0, 4, 0x7E, 0x7D, 0x00, 0xFF}, true), Bytes{0x02});
    Bytes end{0x43, 0, 0, 0, 4, 0, 0, 0x00, 0x00, 0x01, 0x00};
    end.resize(23, 0);
    ASSERT_EQ(c.Ask(end, true), Bytes{0x02});
    c.Close();

    ASSERT_EQ(kill(child_.pid, SIGTERM), 0);
    EXPECT_EQ(WaitExit(child_.pid), 0);
    child_.pid = -1;
    EXPECT_EQ(standin_test::ReadFile(flash + "/00010000.bin"), std::string("\x7E\x7D\x00\xFF", 4));
    EXPECT_EQ(standin_test::ListDir(flash), std::vector<std::string>{"00010000.bin"});
    EXPECT_TRUE(standin_test::WalkTree(root_ + "/tree").empty());  // unplugged on exit
}

TEST_F(StandinCliProgram, HelpListsTheOptionsAndBadOptionsFail) {
    child_ = Spawn({FP_BIN_DIR "/modemsim", "--help"});
    std::string out;
    ReadUntil(child_.out, "\x01", 5000, &out);  // reads to the end
    EXPECT_EQ(WaitExit(child_.pid), 0);
    close(child_.out);
    for (const char* opt : {"--root",
                            "--flash-dir",
                            "--scale",
                            "--trace",
                            "--drop-ack",
                            "--nak",
                            "--bad-crc",
                            "--board-class",
                            "--refuse-backup",
                            "--restore-busy",
                            "--refuse-restore",
                            "--no-return",
                            "--start-in-download",
                            "--imei-length-byte",
                            "--reply-delay",
                            "--foreign-vendor",
                            "--no-option-dir",
                            "--port-path",
                            "--first-node",
                            "--second-modem",
                            "--second-modem-later",
                            "--hold-lock",
                            "--hold-exclusive",
                            "--modem"}) {
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
    }
    child_ = Spawn({FP_BIN_DIR "/modemsim", "--root", root_, "--scale", "2"});
    EXPECT_EQ(WaitExit(child_.pid), 2);
    child_.pid = -1;
    // A second modem plugged in later needs its port path.
    child_ = Spawn({FP_BIN_DIR "/modemsim", "--root", root_, "--second-modem-later"});
    EXPECT_EQ(WaitExit(child_.pid), 2);
    child_.pid = -1;
}

}  // namespace
