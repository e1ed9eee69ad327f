// cmd_msg: the agent's replies, built from the protocol's reply table
// (support/replies.h), which binds each text to its id.
#pragma once

#include <optional>

#include "support/kvwstr.h"
#include "support/protocol/replies.h"

// The texts by id, for code that wants a C string.
extern const char* const cmd_msg[MSG_COUNT];

// A new reply holding text `id`.
kvwstr CMDreply(cmd_msg_id id);
// A new reply holding text `id` followed by printf-style output.
kvwstr CMDreplyf(cmd_msg_id id, const char* format, ...) __attribute__((format(printf, 2, 3)));
