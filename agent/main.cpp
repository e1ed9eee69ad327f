#include "agent/kvsagtd.h"

int main(int argc, char** argv) { return AGTmain(argc, argv); }
