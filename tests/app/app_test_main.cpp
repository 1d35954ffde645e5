// Test main of the desktop program: a QApplication on this thread, the GUI
// thread of the tests; the headless platform unless one is set.
#include <QApplication>

#include <gtest/gtest.h>

// The headless platform plugin keeps its screen objects until the process
// ends; LeakSanitizer would count them against the tests.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions() {
    return "leak:libqoffscreen.so\nleak:libqxcb.so\nleak:libxcb\nleak:libfontconfig\nleak:libX11\n";
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
