#include <iostream>
#include <string>
#include <vector>

#include "pfctl/pfctl_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return tamrin::runPfctl(arguments, std::cout, std::cerr);
}
