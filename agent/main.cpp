#include "agent/kvsagtd.h"
#include "platform/procname.h"

int main(int argc, char** argv) {
  // The daemon and every connection process (started through the running
  // executable's path) show as kvsagtd in the process list.
  PLATset_process_name("kvsagtd");
  return AGTmain(argc, argv);
}
