// The suite's one QApplication, made before the first test on the main thread: offscreen unless the
// run asks for the X server that xvfb-run gives it.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (!std::getenv("VELLUMAR_ON_SCREEN"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        m_application = std::make_unique<QApplication>(m_argc, m_argv);
        // The pairing window is no main window: closing it must not end the run.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void TearDown() override { m_application.reset(); }

private:
    int m_argc = 1;
    char m_name[32] = "vellumar_app_windows_tests";
    char* m_argv[2] = { m_name, nullptr };
    std::unique_ptr<QApplication> m_application;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}
