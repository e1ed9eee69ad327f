#include "platform/windows_paths.h"

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

wchar_t upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool has_drive(std::wstring_view path) { return path.size() >= 2 && is_letter(path[0]) && path[1] == L':'; }

// "\\" or "//" and then a name: a share, or a "\\?\" / "\\.\" form.
bool starts_double(std::wstring_view path) {
  return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

// The drive ("C:") or share ("\\server\share") that begins `dir`; empty
// when it begins with neither.
std::wstring_view root_of(std::wstring_view dir) {
  if (has_drive(dir)) return dir.substr(0, 2);
  if (!starts_double(dir) || dir.size() < 3 || dir[2] == L'?' || dir[2] == L'.') return {};
  std::size_t server_end = 2;
  while (server_end < dir.size() && !is_separator(dir[server_end])) ++server_end;
  std::size_t share_end = server_end + 1;
  while (share_end < dir.size() && !is_separator(dir[share_end])) ++share_end;
  return dir.substr(0, share_end < dir.size() ? share_end : dir.size());
}

std::wstring below(std::wstring_view dir, std::wstring_view path) {
  std::wstring joined(dir);
  if (!joined.empty() && !is_separator(joined.back())) joined += L'\\';
  joined += path;
  return joined;
}

}  // namespace

std::wstring PLATjoin_windows_path(std::wstring_view dir, std::wstring_view path) {
  if (starts_double(path)) return std::wstring(path);
  if (has_drive(path)) {
    if (path.size() > 2 && is_separator(path[2])) return std::wstring(path);
    if (has_drive(dir) && upper(dir[0]) == upper(path[0])) return below(dir, path.substr(2));
    return std::wstring(path);
  }
  if (!path.empty() && is_separator(path[0])) {
    std::wstring_view root = root_of(dir);
    return root.empty() ? std::wstring(path) : std::wstring(root) + std::wstring(path);
  }
  return below(dir, path);
}

std::wstring PLATlong_windows_path(std::wstring_view full) {
  if (full.size() >= 4 && full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'?' || full[2] == L'.') &&
      full[3] == L'\\')
    return std::wstring(full);
  if (starts_double(full)) return L"\\\\?\\UNC\\" + std::wstring(full.substr(2));
  return L"\\\\?\\" + std::wstring(full);
}

std::wstring PLATplain_windows_path(std::wstring_view path) {
  std::wstring plain(path);
  if (plain.rfind(L"\\\\?\\UNC\\", 0) == 0)
    plain = L"\\\\" + plain.substr(8);
  else if (plain.rfind(L"\\\\?\\", 0) == 0 && has_drive(std::wstring_view(plain).substr(4)))
    plain = plain.substr(4);
  // A volume's "\\?\Volume{...}\" keeps its closing backslash: without it
  // the path names the device, not its root directory.
  if (!has_drive(plain) && root_of(plain).empty()) return plain;
  while (plain.size() > 1 && is_separator(plain.back()) && !(plain.size() == 3 && has_drive(plain)))
    plain.pop_back();
  return plain;
}
