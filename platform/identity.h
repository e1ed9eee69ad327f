// Who and where the agent runs, for the access-control rule of the local account.
#pragma once

#include <optional>
#include <string>

// Name of the effective user; none when it cannot be read.
std::optional<std::string> PLATuser_name();
// Name of this host as the system reports it; none on failure.
std::optional<std::string> PLAThost_name();
