// One run per modem: the lock of a modem is exclusive between runs (two
// objects stand for two runs: an flock binds the open file, not the process),
// and independent between modems.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ModemLock.h"

namespace {

class ModemLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fp-lock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        const char* old = std::getenv("FLASHPILOT_ROOT");
        m_hadRoot = old != nullptr;
        m_oldRoot = m_hadRoot ? old : "";
        setenv("FLASHPILOT_ROOT", m_root.c_str(), 1);
    }
    void TearDown() override {
        if (m_hadRoot)
            setenv("FLASHPILOT_ROOT", m_oldRoot.c_str(), 1);
        else
            unsetenv("FLASHPILOT_ROOT");
        ASSERT_EQ(std::system(("rm -rf '" + m_root + "'").c_str()), 0);
    }
    std::string m_root, m_oldRoot;
    bool m_hadRoot = false;
};

TEST_F(ModemLockTest, ASecondRunForTheSameModemIsBusyAndOneForAnotherGoesAhead) {
    std::string why;
    ModemLock first, second, other;
    EXPECT_EQ(first.AnyHeldElsewhere(), "");
    ASSERT_EQ(first.Take("1-1.2", &why), ModemLock::Result::kTaken) << why;
    struct stat st;
    ASSERT_EQ(lstat((m_root + "/run/lock/flashpilot-usb-1-1.2.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(second.Take("1-1.2", &why), ModemLock::Result::kBusy);
    // Held by another run for every object but the holder; asking creates no file.
    EXPECT_TRUE(second.HeldElsewhere("1-1.2"));
    EXPECT_FALSE(first.HeldElsewhere("1-1.2"));
    EXPECT_FALSE(second.HeldElsewhere("9-9"));
    EXPECT_NE(access((m_root + "/run/lock/flashpilot-usb-9-9.lock").c_str(), F_OK), 0);
    EXPECT_EQ(other.Take("1-1.3", &why), ModemLock::Result::kTaken) << why;
    EXPECT_EQ(first.AnyHeldElsewhere(), "1-1.3");
    first.Release();
    EXPECT_FALSE(second.HeldElsewhere("1-1.2"));
    other.Release();
    EXPECT_EQ(second.AnyHeldElsewhere(), "");
    EXPECT_EQ(second.Take("1-1.2", &why), ModemLock::Result::kTaken) << why;
    // Taking another modem's lock drops the one held before.
    EXPECT_EQ(second.Take("1-1.4", &why), ModemLock::Result::kTaken) << why;
    EXPECT_EQ(first.Take("1-1.2", &why), ModemLock::Result::kTaken) << why;
}

TEST_F(ModemLockTest, ALinkInPlaceOfTheLockFileIsNeverFollowed) {
    ASSERT_EQ(mkdir((m_root + "/run").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_root + "/run/lock").c_str(), 0755), 0);
    const std::string target = m_root + "/elsewhere";
    ASSERT_EQ(symlink(target.c_str(), (m_root + "/run/lock/flashpilot-usb-2-1.lock").c_str()), 0);
    std::string why;
    ModemLock lock;
    EXPECT_EQ(lock.Take("2-1", &why), ModemLock::Result::kFailed);
    EXPECT_NE(why.find("flashpilot-usb-2-1.lock"), std::string::npos) << why;
    EXPECT_NE(access(target.c_str(), F_OK), 0);
}

}  // namespace
