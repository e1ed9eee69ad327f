// kvsctl: the command-line studio client (see client/kvsctl.h).
#include <string>
#include <vector>

#include "client/kvsctl.h"

int main(int argc, char** argv) { return kvsctl::main(std::vector<std::string>(argv + 1, argv + argc)); }
