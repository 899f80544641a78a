#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TestSeams.h"

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_hadOld) {
            setenv(m_name.c_str(), m_old.c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_hadOld = false;
};

TEST(TestSeams, SettingsInForceAreNamedOnePerLine) {
    struct Row {
        const char* root;
        const char* scale;
        const char* port;
        const char* lines;
    };
    const Row rows[] = {
        {nullptr, nullptr, nullptr, ""},
        {"", "", "", ""},  // empty counts as unset
        {"/r", nullptr, nullptr, "Test setting in force: FLASHPILOT_ROOT=/r\n"},
        {nullptr, "0.5", "4000",
         "Test setting in force: FLASHPILOT_TIME_SCALE=0.5\n"
         "Test setting in force: FLASHPILOT_GUARD_PORT=4000\n"},
    };
    for (const Row& row : rows) {
        ScopedEnv root("FLASHPILOT_ROOT", row.root);
        ScopedEnv scale("FLASHPILOT_TIME_SCALE", row.scale);
        ScopedEnv port("FLASHPILOT_GUARD_PORT", row.port);
        EXPECT_EQ(TestSettingsInForce(), row.lines);
    }
}

TEST(TestSeams, RootPrefixIsBoundedAndOptional) {
    char out[32];
    {
        ScopedEnv root("FLASHPILOT_ROOT", nullptr);
        ASSERT_TRUE(RootedPath("/dev/ttyUSB2", out, sizeof out));
        EXPECT_STREQ(out, "/dev/ttyUSB2");
    }
    ScopedEnv root("FLASHPILOT_ROOT", "/tmp/fake");
    ASSERT_TRUE(RootedPath("/dev/ttyUSB2", out, sizeof out));
    EXPECT_STREQ(out, "/tmp/fake/dev/ttyUSB2");
    char small[12];
    EXPECT_FALSE(RootedPath("/dev/ttyUSB2", small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(TestSeams, GuardPortFallsBackOnBadValues) {
    {
        ScopedEnv port("FLASHPILOT_GUARD_PORT", nullptr);
        EXPECT_EQ(GuardPort(), 22222);
    }
    {
        ScopedEnv port("FLASHPILOT_GUARD_PORT", "40123");
        EXPECT_EQ(GuardPort(), 40123);
    }
    ScopedEnv port("FLASHPILOT_GUARD_PORT", "70000");
    EXPECT_EQ(GuardPort(), 22222);
}

TEST(TestSeams, TimeScaleValuesAreCheckedAtStart) {
    std::string message;
    for (const char* good : {"1", "0.5", "0.001"}) {
        ScopedEnv scale("FLASHPILOT_TIME_SCALE", good);
        EXPECT_TRUE(TimeScaleIsValid(&message)) << good;
    }
    for (const char* bad : {"0", "1.5", "-0.1", "fast", "0.1x"}) {
        ScopedEnv scale("FLASHPILOT_TIME_SCALE", bad);
        EXPECT_FALSE(TimeScaleIsValid(&message)) << bad;
        EXPECT_NE(message.find(bad), std::string::npos);
    }
}

TEST(TestSeams, ScaledDurationsKeepUnlimitedAndNeverDropToZero) {
    OverrideTimeScale(0.01);
    EXPECT_EQ(ScaledMs(3000), 30UL);
    EXPECT_EQ(ScaledMs(20), 1UL);
    EXPECT_EQ(ScaledMs(0), 0UL);
    EXPECT_EQ(ScaledMs(0xFFFFFFFFUL), 0xFFFFFFFFUL);
    OverrideTimeScale(1.0);
    EXPECT_EQ(ScaledMs(3000), 3000UL);
}

}  // namespace
