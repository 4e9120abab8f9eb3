#include "vartype.h"

namespace zul {

std::string ExeDir;
std::string DataDir;
bool Quitting = false;

}  // namespace zul
