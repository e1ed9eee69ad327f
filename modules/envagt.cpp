#include "modules/envagt.h"

#include <cstdlib>
#include <string>

int ENVinit(agt_context*) { return 0; }

int ENVterm(agt_context*) { return 0; }

std::optional<kvwstr> ENVget(agt_context*, const char* name) {
  if (name == nullptr) return std::nullopt;
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return kvwstr(value);
}

int ENVset(agt_context*, const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return -1;
  return ::setenv(name, value, 1) == 0 ? 0 : -1;
}

int ENVunset(agt_context*, const char* name) {
  if (name == nullptr) return -1;
  return ::unsetenv(name) == 0 ? 0 : -1;
}

cmd_reply ENVcmd_genv(agt_context* context, cmd_state*, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_GENV_NEEDS_NAME);
  std::optional<kvwstr> value = ENVget(context, argument);
  if (!value) return CMDreply(MSG_GETENV_FAILED);
  return CMDreplyf(MSG_GETENV_RESULT, "%s=%s", argument, value->c_str());
}

cmd_reply ENVcmd_senv(agt_context* context, cmd_state*, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_SENV_NEEDS_PARAMETER);
  std::string_view text(argument);
  std::size_t equal = text.find('=');
  if (equal == std::string_view::npos) return CMDreply(MSG_SENV_NEEDS_VALUE);
  std::string name(text.substr(0, equal));
  std::string value(text.substr(equal + 1));
  if (ENVset(context, name.c_str(), value.c_str()) != 0) return CMDreply(MSG_SETENV_FAILED);
  return CMDreply(MSG_SETENV_OK);
}

cmd_reply ENVcmd_denv(agt_context* context, cmd_state*, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_DENV_NEEDS_NAME);
  if (ENVunset(context, argument) != 0) return CMDreply(MSG_UNSETENV_FAILED);
  return CMDreply(MSG_UNSETENV_OK);
}
