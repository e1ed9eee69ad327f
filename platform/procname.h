// The name under which a process of the agent shows in the process list.
#pragma once

// Sets the name that ps, pidof and pgrep -x show for the calling process
// (the kernel keeps at most 15 bytes of it). A connection process is started
// through the running executable's own path, which would otherwise give it
// that path's last component as its name.
void PLATset_process_name(const char* name);

// The agent's executable as this system names it, for the usage text:
// "kvsagtd", or "kvsagtd.exe" on Windows.
const char* PLATagent_file_name();
