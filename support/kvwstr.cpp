#include "support/kvwstr.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/cstsyst.h"

namespace {

constexpr unsigned char kLiveMarker = 0xAA;
constexpr unsigned char kFreedMarker = 0xFF;
constexpr int kHeader = 12;
constexpr int kMinRoom = 40;
// Longest text a block can describe with its 32-bit capacity.
constexpr int kMaxLength = (INT_MAX - 13) / 9 * 8;

struct header {
  int marker;
  int capacity;
  int length;
};
static_assert(sizeof(header) == kHeader);

[[noreturn]] void kvwstr_assert_fail(const char* condition, int line, const char* reason) {
  std::fprintf(stderr, "Assertion failed : %s, file %s, line %d, %s \n", condition, __FILE__, line, reason);
  CSTfatal(1);
}

int block_for(int n) {
  if (n < 0 || n > kMaxLength) kvwstr_assert_fail("str2", __LINE__, "Reallocation fail");
  int room = n <= kMinRoom ? kMinRoom : n + n / 8;
  return room + 13;
}

header* head(char* text) { return reinterpret_cast<header*>(text - kHeader); }

char* kvwstr_alloc(int n) {
  int size = block_for(n);
  auto* block = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (block == nullptr) kvwstr_assert_fail("str != (kvwstr *) 0", __LINE__, "Allocation fail");
  auto* h = reinterpret_cast<header*>(block);
  h->marker = kLiveMarker;
  h->capacity = size;
  h->length = 0;
  block[kHeader] = '\0';
  return block + kHeader;
}

char* kvwstr_grow(char* text, int n) {
  int size = block_for(n);
  auto* block = static_cast<char*>(std::realloc(text - kHeader, static_cast<std::size_t>(size)));
  if (block == nullptr) kvwstr_assert_fail("str2", __LINE__, "Reallocation fail");
  reinterpret_cast<header*>(block)->capacity = size;
  return block + kHeader;
}

}  // namespace

kvwstr::kvwstr() : text_(kvwstr_alloc(0)) {}

kvwstr::kvwstr(std::string_view text) {
  std::size_t n = text.find('\0');
  if (n == std::string_view::npos) n = text.size();
  if (n > static_cast<std::size_t>(kMaxLength)) kvwstr_assert_fail("str != (kvwstr *) 0", __LINE__, "Allocation fail");
  text_ = kvwstr_alloc(static_cast<int>(n));
  if (n > 0) std::memcpy(text_, text.data(), n);  // an empty view may have no data at all
  text_[n] = '\0';
  head(text_)->length = static_cast<int>(n);
}

kvwstr::kvwstr(kvwstr&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }

kvwstr& kvwstr::operator=(kvwstr&& other) noexcept {
  if (this != &other) {
    this->~kvwstr();
    text_ = other.text_;
    other.text_ = nullptr;
  }
  return *this;
}

kvwstr::~kvwstr() {
  if (text_ != nullptr) {
    head(text_)->marker = kFreedMarker;
    std::free(text_ - kHeader);
    text_ = nullptr;
  }
}

kvwstr& kvwstr::cat(const char* text) {
  if (text == nullptr) return *this;
  return cat(std::string_view(text));
}

kvwstr& kvwstr::cat(std::string_view text) {
  std::size_t add = text.find('\0');
  if (add == std::string_view::npos) add = text.size();
  if (text_ == nullptr) text_ = kvwstr_alloc(0);
  int length = head(text_)->length;
  if (add > static_cast<std::size_t>(kMaxLength - length)) kvwstr_assert_fail("str2", __LINE__, "Reallocation fail");
  int n = length + static_cast<int>(add);
  if (n > head(text_)->capacity - 13) text_ = kvwstr_grow(text_, n);
  std::memcpy(text_ + length, text.data(), add);
  text_[n] = '\0';
  head(text_)->length = n;
  return *this;
}

kvwstr& kvwstr::catf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vcatf(format, args);
  va_end(args);
  return *this;
}

kvwstr& kvwstr::vcatf(const char* format, va_list args) {
  char small[256];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    va_end(again);
    std::fprintf(stderr, "FATAL ERROR on sprintf (%s),\n Please contact your administrative.\n", format);
    CSTfatal(7);
  }
  if (static_cast<std::size_t>(n) < sizeof small) {
    va_end(again);
    return cat(std::string_view(small, static_cast<std::size_t>(n)));
  }
  if (text_ == nullptr) text_ = kvwstr_alloc(0);
  int length = head(text_)->length;
  if (n > kMaxLength - length) kvwstr_assert_fail("str2", __LINE__, "Reallocation fail");
  if (length + n > head(text_)->capacity - 13) text_ = kvwstr_grow(text_, length + n);
  std::vsnprintf(text_ + length, static_cast<std::size_t>(n) + 1, format, again);
  va_end(again);
  head(text_)->length = length + static_cast<int>(std::strlen(text_ + length));
  return *this;
}

kvwstr& kvwstr::cut(int position, int count) {
  if (text_ == nullptr) return *this;
  int length = head(text_)->length;
  if (position < 0 || position >= length || count <= 0) return *this;
  if (count > length - position) count = length - position;
  std::memmove(text_ + position, text_ + position + count,
               static_cast<std::size_t>(length - position - count) + 1);
  head(text_)->length = length - count;
  // Shrink only when the block is well above what the capacity rule asks for,
  // so that a buffer emptied turn after turn is not reallocated every time.
  if (block_for(length - count) < head(text_)->capacity) text_ = kvwstr_grow(text_, length - count);
  return *this;
}

int kvwstr::len() const { return text_ == nullptr ? 0 : head(text_)->length; }

const char* kvwstr::c_str() const { return text_ == nullptr ? "" : text_; }

char* kvwstr::data() {
  if (text_ == nullptr) text_ = kvwstr_alloc(0);
  return text_;
}

int kvwstr::block_size() const { return text_ == nullptr ? 0 : head(text_)->capacity; }

kvwstr kvwstr_format(const char* format, ...) {
  kvwstr s;
  va_list args;
  va_start(args, format);
  s.vcatf(format, args);
  va_end(args);
  return s;
}

kvwstr& kvwstr_one_line(kvwstr& text) {
  char* at = text.data();
  for (int i = 0, n = text.len(); i < n; ++i)
    if (at[i] == '\r' || at[i] == '\n') at[i] = ' ';
  return text;
}

kvwstr kvwstr_one_line(std::string_view text) {
  kvwstr line(text);
  return std::move(kvwstr_one_line(line));
}
