#ifdef _WIN32
#include "platform/identity.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <cstring>
#include <vector>

std::optional<std::string> PLATuser_name() {
  char name[257] = {};  // UNLEN + 1
  DWORD size = sizeof name;
  if (!::GetUserNameA(name, &size)) return std::nullopt;
  return std::string(name);
}

// The host name gethostname gives, without needing Winsock started.
std::optional<std::string> PLAThost_name() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return std::nullopt;
  return std::string(name, size);
}

namespace {

// A handle closed when its owner goes.
struct handle_owner {
  HANDLE handle = nullptr;
  handle_owner() = default;
  handle_owner(const handle_owner&) = delete;
  handle_owner& operator=(const handle_owner&) = delete;
  ~handle_owner() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};

// The user of a process's token, as a SID in `sid`.
bool token_user(HANDLE process, std::vector<unsigned char>& sid) {
  handle_owner token;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token.handle)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token.handle, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  sid.assign(size, 0);
  return ::GetTokenInformation(token.handle, TokenUser, sid.data(), size, &size) != 0;
}

// The process owning the TCP connection whose own end is `self` and whose
// remote end is `other` (both of `family`), from the system's table; 0 when
// none is found.
DWORD owning_process(int family, const sockaddr_storage& self, const sockaddr_storage& other) {
  ULONG size = 0;
  std::vector<unsigned char> table;
  DWORD rc = ERROR_INSUFFICIENT_BUFFER;
  for (int attempt = 0; attempt < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    table.assign(size + 4096, 0);
    size = static_cast<ULONG>(table.size());
    rc = ::GetExtendedTcpTable(table.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  }
  if (rc != NO_ERROR) return 0;
  if (family == AF_INET) {
    const auto& me = reinterpret_cast<const sockaddr_in&>(self);
    const auto& peer = reinterpret_cast<const sockaddr_in&>(other);
    const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = rows->table[i];
      if (row.dwLocalAddr == me.sin_addr.s_addr && static_cast<u_short>(row.dwLocalPort) == me.sin_port &&
          row.dwRemoteAddr == peer.sin_addr.s_addr && static_cast<u_short>(row.dwRemotePort) == peer.sin_port)
        return row.dwOwningPid;
    }
    return 0;
  }
  const auto& me = reinterpret_cast<const sockaddr_in6&>(self);
  const auto& peer = reinterpret_cast<const sockaddr_in6&>(other);
  const auto* rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
  for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
    const MIB_TCP6ROW_OWNER_PID& row = rows->table[i];
    if (std::memcmp(row.ucLocalAddr, &me.sin6_addr, 16) == 0 && static_cast<u_short>(row.dwLocalPort) == me.sin6_port &&
        std::memcmp(row.ucRemoteAddr, &peer.sin6_addr, 16) == 0 &&
        static_cast<u_short>(row.dwRemotePort) == peer.sin6_port)
      return row.dwOwningPid;
  }
  return 0;
}

// An IPv4-mapped IPv6 address as the IPv4 address it stands for.
void unmap(sockaddr_storage& address) {
  if (address.ss_family != AF_INET6) return;
  const auto six = reinterpret_cast<const sockaddr_in6&>(address);
  if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return;
  sockaddr_in four{};
  four.sin_family = AF_INET;
  four.sin_port = six.sin6_port;
  std::memcpy(&four.sin_addr, six.sin6_addr.s6_addr + 12, 4);
  address = sockaddr_storage{};
  std::memcpy(&address, &four, sizeof four);
}

}  // namespace

// The peer's end is looked for in the connection table with its process; the
// account is that process's token user, compared with this process's own.
std::optional<plat_socket_owner> PLATpeer_socket_owner(int socket) {
  sockaddr_storage local{}, peer{};
  int length = sizeof local;
  auto handle = static_cast<SOCKET>(socket);
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
  length = sizeof peer;
  if (::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return std::nullopt;
  DWORD pid = 0;
  // An IPv4 connection's other end may be an IPv4 socket or a dual-stack one.
  if (peer.ss_family == AF_INET6) pid = owning_process(AF_INET6, peer, local);
  if (pid == 0) {
    unmap(local);
    unmap(peer);
    if (peer.ss_family == AF_INET && local.ss_family == AF_INET) pid = owning_process(AF_INET, peer, local);
  }
  if (pid == 0) return std::nullopt;
  handle_owner process;
  process.handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process.handle == nullptr) return std::nullopt;
  std::vector<unsigned char> theirs, ours;
  if (!token_user(process.handle, theirs) || !token_user(::GetCurrentProcess(), ours)) return std::nullopt;
  PSID their_sid = reinterpret_cast<TOKEN_USER*>(theirs.data())->User.Sid;
  PSID our_sid = reinterpret_cast<TOKEN_USER*>(ours.data())->User.Sid;
  plat_socket_owner owner;
  owner.agent_account = ::EqualSid(their_sid, our_sid) != 0;
  char name[257] = {}, domain[257] = {};
  DWORD name_size = sizeof name, domain_size = sizeof domain;
  SID_NAME_USE use;
  if (::LookupAccountSidA(nullptr, their_sid, name, &name_size, domain, &domain_size, &use))
    owner.account = name;
  else
    owner.account = "process " + std::to_string(pid);
  return owner;
}
#endif  // _WIN32
