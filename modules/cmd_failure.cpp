#include <cstring>
#include <string_view>

#include "modules/agt_module.h"
#include "support/cstsyst.h"

namespace {

// What is kept of a path: at most CMD_FAILURE_PATH_MAX bytes, a cut one
// marked by "..." (a studio can send a path of megabytes).
std::string bounded(const char* path) {
  if (path == nullptr) return {};
  std::string_view text(path);
  if (text.size() <= CMD_FAILURE_PATH_MAX) return std::string(text);
  return std::string(text.substr(0, CMD_FAILURE_PATH_MAX)) + "...";
}

}  // namespace

void CMDfailed(cmd_state* state, const char* command, const char* call, const char* path, int error) {
  cmd_failure cause{command, call, bounded(path), error};
  // Neither the debug line nor the reply lets a path end a line of its own.
  CSTdebug_cause(command, call, path != nullptr ? kvwstr_one_line(cause.path).c_str() : nullptr, error);
  if (state != nullptr) state->record_failure(std::move(cause));
}

kvwstr CMDfailure_reply(const cmd_state& state) {
  if (!state.last_failure()) return kvwstr(protocol::no_failure_reply);
  const cmd_failure& cause = *state.last_failure();
  kvwstr line(protocol::last_failure_reply);
  line.cat(cause.command).cat(" : ").cat(cause.call).cat(" : ");
  line.cat(cause.error != 0 ? std::strerror(cause.error) : "failed").cat(" : ").cat(cause.path);
  return std::move(kvwstr_one_line(line));
}
