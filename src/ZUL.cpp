// The program entry: a network bandwidth monitor that lives in the tray.
#include "App.h"

int main(int argc, char** argv) {
  return zul::RunZul(argc, argv);
}
