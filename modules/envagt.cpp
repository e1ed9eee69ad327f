#include "modules/envagt_internal.h"

#include <string>

#include "platform/environment.h"
#include "platform/process.h"
#include "support/cstsyst.h"

namespace {

bool valid_name(std::string_view name) { return !name.empty() && name.find('=') == std::string_view::npos; }

}  // namespace

int ENVinit(agt_context* context) {
  if (context == nullptr) return -1;
  auto state = std::make_unique<env_state>();
  for (const std::string& entry : PLATenvironment()) {
    std::size_t equal = entry.find('=');
    if (equal == std::string::npos || equal == 0) continue;
    state->variables.try_emplace(entry.substr(0, equal), entry.substr(equal + 1));
  }
  return CTXinstall(context, std::move(state), CTX_SLOT_ENV);
}

int ENVterm(agt_context* context) {
  std::unique_ptr<env_state> state = CTXtake<env_state>(context, CTX_SLOT_ENV);
  return state ? 0 : -1;
}

std::optional<kvwstr> ENVget(agt_context* context, const char* name) {
  if (name == nullptr) return std::nullopt;
  if (env_state* state = CTXstate<env_state>(context, CTX_SLOT_ENV)) {
    auto found = state->variables.find(std::string_view(name));
    if (found == state->variables.end() || found->second.empty()) return std::nullopt;
    return kvwstr(found->second.c_str());
  }
  std::optional<std::string> value = PLATgetenv(name);
  if (!value || value->empty()) return std::nullopt;
  return kvwstr(value->c_str());
}

int ENVset(agt_context* context, const char* name, const char* value) {
  if (name == nullptr || value == nullptr || !valid_name(name)) return -1;
  env_state* state = CTXstate<env_state>(context, CTX_SLOT_ENV);
  if (state == nullptr) return PLATsetenv(name, value);
  auto found = state->variables.find(std::string_view(name));
  if (found == state->variables.end()) {
    state->variables.emplace(name, value);
  } else {
    // A new string rather than an assignment: a shorter value must not keep
    // the room of a longer one.
    found->second = std::string(value);
  }
  return 0;
}

int ENVunset(agt_context* context, const char* name) {
  if (name == nullptr || !valid_name(name)) return -1;
  env_state* state = CTXstate<env_state>(context, CTX_SLOT_ENV);
  if (state == nullptr) return PLATunsetenv(name);
  if (auto found = state->variables.find(std::string_view(name)); found != state->variables.end())
    state->variables.erase(found);
  return 0;
}

std::vector<std::string> ENVblock(agt_context* context) {
  env_state* state = CTXstate<env_state>(context, CTX_SLOT_ENV);
  if (state == nullptr) return PLATenvironment();
  std::vector<std::string> block;
  block.reserve(state->variables.size());
  for (const auto& [name, value] : state->variables) block.push_back(name + "=" + value);
  return block;
}

cmd_reply ENVcmd_genv(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_411_GENV_NEEDS_NAME);
  std::optional<kvwstr> value = ENVget(context, argument);
  if (!value) {
    CMDfailed(state, "GENV", "ENVget", argument, 0);
    return CMDreply(MSG_511_GETENV_FAILED);
  }
  return CMDreplyf(MSG_211_GETENV_RESULT, "%s=%s", argument, value->c_str());
}

cmd_reply ENVcmd_senv(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_412_SENV_NEEDS_PARAMETER);
  std::string_view text(argument);
  std::size_t equal = text.find('=');
  if (equal == std::string_view::npos) return CMDreply(MSG_413_SENV_NEEDS_VALUE);
  std::string name(text.substr(0, equal));
  std::string value(text.substr(equal + 1));
  if (ENVset(context, name.c_str(), value.c_str()) != 0) {
    CMDfailed(state, "SENV", "ENVset", name.c_str(), 0);
    return CMDreply(MSG_512_SETENV_FAILED);
  }
  return CMDreply(MSG_212_SETENV_OK);
}

cmd_reply ENVcmd_denv(agt_context* context, cmd_state* state, const char* argument) {
  if (*argument == '\0') return CMDreply(MSG_414_DENV_NEEDS_NAME);
  if (ENVunset(context, argument) != 0) {
    CMDfailed(state, "DENV", "ENVunset", argument, 0);
    return CMDreply(MSG_513_UNSETENV_FAILED);
  }
  return CMDreply(MSG_213_UNSETENV_OK);
}
