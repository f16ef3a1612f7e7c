// The shell's tests run inside one application object, on the offscreen platform, with their settings in a folder of
// their own.

#include "tarvelin_app.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <memory>

int main(int argc, char** argv)
{
    // Also when the test list is read, which happens outside ctest's environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const auto settingsHome = std::make_unique<tarvelin::test::TempDir>();
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(settingsHome->Path()));
    testing::InitGoogleTest(&argc, argv);
    tarvelin::shell::CTarvelinApp app(argc, argv);
    tarvelin::shell::CTarvelinApp::SetUpSettings();
    return RUN_ALL_TESTS();
}
