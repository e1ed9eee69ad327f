#include "modules/cmd_msg.h"

#include <cstdarg>

const char* const cmd_msg[MSG_COUNT] = {
#define KVS_REPLY_TEXT(id, text) text,
    KVS_REPLY_TABLE(KVS_REPLY_TEXT)
#undef KVS_REPLY_TEXT
};

kvwstr CMDreply(cmd_msg_id id) { return kvwstr(cmd_msg[id]); }

kvwstr CMDreplyf(cmd_msg_id id, const char* format, ...) {
  kvwstr reply(cmd_msg[id]);
  va_list args;
  va_start(args, format);
  reply.vcatf(format, args);
  va_end(args);
  return reply;
}
