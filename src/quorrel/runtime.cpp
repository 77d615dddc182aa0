// Program start and end. (Module start/end and the escaped-exception report come
// with the foundation work.)
#include <string>
#include <vector>

#include "quorrel/driver.h"

int RunProgram(int argc, char** argv) {
  std::string Name = argc > 0 ? argv[0] : "quorrel";
  auto Slash = Name.rfind('/');
  if (Slash != std::string::npos) Name = Name.substr(Slash + 1);
  return RunDriver(Name, std::vector<std::string>(argv + 1, argv + argc));
}
