#include "platform/procname.h"

#include <sys/prctl.h>

void PLATset_process_name(const char* name) {
  ::prctl(PR_SET_NAME, reinterpret_cast<unsigned long>(name), 0UL, 0UL, 0UL);
}
