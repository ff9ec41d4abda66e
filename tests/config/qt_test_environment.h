#pragma once

#include <memory>

#include <QApplication>
#include <gtest/gtest.h>

namespace tarvo::test {

/// One QApplication for a widget test program (tests run on the main thread).
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "config_dialogs";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

} // namespace tarvo::test
