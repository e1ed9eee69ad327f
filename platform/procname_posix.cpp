#include "platform/procname.h"

#include <sys/prctl.h>

const char* PLATagent_file_name() { return "kvsagtd"; }

void PLATset_process_name(const char* name) {
  ::prctl(PR_SET_NAME, reinterpret_cast<unsigned long>(name), 0UL, 0UL, 0UL);
}
