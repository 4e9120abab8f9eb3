// Test entry with the application object that fonts, palettes and windows need. The offscreen
// platform is the default, so listing the tests needs no display either.
#include <gtest/gtest.h>

#include <QtGlobal>
#include <cstdlib>

#ifdef ZUL_TEST_WIDGETS
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QGuiApplication>
using TTestApplication = QGuiApplication;
#endif

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // The capture helper of this build, unless the caller names another.
  setenv("ZUL_CAPTURE_HELPER", ZUL_TEST_CAPTURE_HELPER, 0);
  TTestApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
