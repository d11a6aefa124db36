#include <gtest/gtest.h>

#include <QGuiApplication>

// The shell tests need an application object for the whole run, on the offscreen platform
// unless told otherwise (e.g. QT_QPA_PLATFORM=xcb under a real display).
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
