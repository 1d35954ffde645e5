// Test main of the object layer: a headless QGuiApplication on this thread,
// the GUI thread of the tests.
#include <QGuiApplication>

#include <gtest/gtest.h>

// The headless platform plugin keeps its screen objects until the process
// ends; LeakSanitizer would count them against the tests.
extern "C" __attribute__((used)) const char *__lsan_default_suppressions() { return "leak:libqoffscreen.so\n"; }

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
