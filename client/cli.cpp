#include "client/cli.h"

#include <getopt.h>

namespace cli {

namespace {

constexpr int kHelp = 1000;
constexpr int kVersionId = 1001;
constexpr int kLongOnly = 2000;  // getopt value of table entry i without a short form: kLongOnly + i

}  // namespace

std::string name_of(const option& o) {
  if (o.long_name != nullptr) return std::string("--") + o.long_name;
  return std::string("-") + o.short_name;
}

parsed parse(const std::vector<std::string>& args, std::span<const option> table, order mode) {
  parsed result;
  // getopt_long permutes the pointers, never the strings.
  std::vector<std::string> words;
  words.reserve(args.size() + 1);
  words.emplace_back("tool");
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::string shorts = mode == order::options_first ? "+:h" : ":h";
  std::vector<::option> longs;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const option& o = table[i];
    int value = o.short_name != 0 ? o.short_name : kLongOnly + static_cast<int>(i);
    if (o.short_name != 0) {
      shorts += o.short_name;
      if (o.has_value) shorts += ':';
    }
    if (o.long_name != nullptr) longs.push_back({o.long_name, o.has_value ? required_argument : no_argument, nullptr, value});
  }
  longs.push_back({"help", no_argument, nullptr, kHelp});
  longs.push_back({"version", no_argument, nullptr, kVersionId});
  longs.push_back({nullptr, 0, nullptr, 0});

  auto index_of = [&](int value) -> std::size_t {
    if (value >= kLongOnly) return static_cast<std::size_t>(value - kLongOnly);
    for (std::size_t i = 0; i < table.size(); ++i)
      if (table[i].short_name == value) return i;
    return table.size();
  };
  auto fail = [&](std::string message) {
    result.what = parsed::kind::error;
    result.error = std::move(message);
    return result;
  };

  int argc = static_cast<int>(words.size());
  ::optind = 0;  // a full restart of getopt's scan, also of its permutation
  ::opterr = 0;  // the messages are ours
  for (;;) {
    int c = ::getopt_long(argc, argv.data(), shorts.c_str(), longs.data(), nullptr);
    if (c == -1) break;
    if (c == 'h' || c == kHelp) {
      result.what = parsed::kind::help;
      return result;
    }
    if (c == kVersionId) {
      result.what = parsed::kind::version;
      return result;
    }
    if (c == ':') {
      std::size_t i = index_of(::optopt);
      std::string name = i < table.size() ? name_of(table[i]) : std::string(argv[::optind - 1]);
      return fail(name + " needs a value");
    }
    if (c == '?') {
      std::string word = argv[::optind - 1];
      std::string bare = word.substr(0, word.find('='));
      // "--flag=value" for an option that takes none.
      if (::optopt != 0 && word.rfind("--", 0) == 0) return fail(bare + " takes no value");
      if (::optopt != 0) return fail(std::string("unknown option -") + static_cast<char>(::optopt));
      return fail("unknown option " + bare);
    }
    std::size_t i = index_of(c);
    if (i >= table.size()) return fail("unknown option");
    result.options.push_back({i, table[i].has_value && ::optarg != nullptr ? std::string(::optarg) : std::string()});
  }
  for (int i = ::optind; i < argc; ++i) result.operands.emplace_back(argv[static_cast<std::size_t>(i)]);
  return result;
}

}  // namespace cli
