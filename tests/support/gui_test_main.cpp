#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Tests render offscreen; ctest sets this too, but a hand run should not need it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
