// The base of the end-to-end fixtures: a temporary directory with the
// program's directory app/ and the fake system root root/, and a guard port of
// the test's own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "E2eSupport.h"

namespace e2e {

class ProgramDirTest : public ::testing::Test {
protected:
    explicit ProgramDirTest(const char* tag) : m_tmp(tag) {}

    void SetUp() override {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_app = m_tmp / "app";
        m_root = m_tmp / "root";
        ASSERT_TRUE(MakeDirs(m_app));
        m_port = UniqueGuardPort();
        ASSERT_NE(m_port, 0);
    }

    TempDir m_tmp;
    std::string m_app, m_root;
    int m_port = 0;
};

}  // namespace e2e
