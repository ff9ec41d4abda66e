#pragma once

#include <memory>

#include <QApplication>
#include <gtest/gtest.h>

namespace tarvo::test {

/// The one QApplication of a widget test program, made before the first
/// test and destroyed after the last, while Qt's own statics still exist.
class QtApplication : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "tarvo_ui_tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

} // namespace tarvo::test
