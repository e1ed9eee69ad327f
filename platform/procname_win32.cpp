#ifdef _WIN32
#include "platform/procname.h"

// A Windows process shows under its executable's name, which the connection
// processes share with the daemon already.
void PLATset_process_name(const char*) {}

const char* PLATagent_file_name() { return "kvsagtd.exe"; }
#endif  // _WIN32
