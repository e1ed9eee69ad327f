// One command-line parser for the client tools (kvsctl, kvsrdv, kvsdynf),
// built on getopt_long so that every tool takes "-x VALUE", "-xVALUE",
// "--long VALUE" and "--long=VALUE" alike, and answers -h/--help and
// --version the same way. getopt_long is in the C library here and in
// MinGW's runtime, so the tools that are ported to Windows keep it.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace cli {

inline constexpr const char* kVersion = "8.0.1";

struct option {
  const char* long_name;  // without the dashes; nullptr: short form only
  char short_name;        // 0: long form only
  bool has_value;
};

// An option met on the command line: its index in the table and its value.
struct found {
  std::size_t index;
  std::string value;
};

enum class order {
  permute,        // options and operands may mix; "--" ends the options
  options_first,  // the first operand ends the options (the rest are operands)
};

struct parsed {
  enum class kind { ok, help, version, error } what = kind::ok;
  std::vector<found> options;         // in command-line order
  std::vector<std::string> operands;  // in command-line order
  std::string error;                  // kind::error: what is wrong
};

// Parses `args` (without the program name). -h and --help give kind::help,
// --version kind::version, wherever they stand before "--".
parsed parse(const std::vector<std::string>& args, std::span<const option> table, order mode);

// The display name of table entry `o`: "--long" or "-s".
std::string name_of(const option& o);

}  // namespace cli
