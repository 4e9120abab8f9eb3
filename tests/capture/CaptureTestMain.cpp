// The capture tests run with a Qt core application: the capture hands frames to its event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The capture helper of this build, unless the caller names another.
  setenv("ZUL_CAPTURE_HELPER", ZUL_TEST_CAPTURE_HELPER, 0);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
