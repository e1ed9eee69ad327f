// kvwstr: the agent's text type for replies, notifications, receive buffers
// and names. It owns one heap block laid out as a 12-byte header (marker,
// capacity, length) followed by the NUL-terminated characters, and frees it
// when it goes out of scope. Moves transfer the block; copies are explicit.
//
// Capacity rule, for every allocation and reallocation for a length n: the
// room is 40 when n <= 40, else n + n / 8; the block holds room + 13 bytes.
#pragma once

#include <cstdarg>
#include <string_view>

class kvwstr {
 public:
  kvwstr();                                // empty text, 53-byte block
  explicit kvwstr(std::string_view text);  // copy of the text up to its first NUL
  kvwstr(const kvwstr&) = delete;
  kvwstr& operator=(const kvwstr&) = delete;
  kvwstr(kvwstr&& other) noexcept;
  kvwstr& operator=(kvwstr&& other) noexcept;
  ~kvwstr();

  // Appends the text (bytes up to its first NUL); a null text changes nothing.
  kvwstr& cat(const char* text);
  kvwstr& cat(std::string_view text);
  // Appends printf-style output.
  kvwstr& catf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  kvwstr& vcatf(const char* format, va_list args);
  // Removes count characters from position; the block shrinks by the capacity rule.
  kvwstr& cut(int position, int count);
  kvwstr& clear() { return cut(0, len()); }
  kvwstr copy() const { return kvwstr(view()); }

  int len() const;
  bool empty() const { return len() == 0; }
  const char* c_str() const;
  char* data();
  std::string_view view() const { return {c_str(), static_cast<std::size_t>(len())}; }
  // Size of the whole block in bytes (header, room and NUL).
  int block_size() const;

 private:
  char* text_ = nullptr;  // handle: the characters, header just before them
};

// A new text holding printf-style output.
kvwstr kvwstr_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text from a peer that goes into a line of the agent's own (a notification
// for the studio, a log line) must never end that line or start another: every
// CR and LF in it becomes a blank. In place, and as a new text.
kvwstr& kvwstr_one_line(kvwstr& text);
kvwstr kvwstr_one_line(std::string_view text);
