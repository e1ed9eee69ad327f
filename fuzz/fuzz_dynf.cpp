// Dynamic-follow tester lines: DYNFsplit_lines and the keyword table
// DYNFkeyword, fed the way the channel feeds them: the tester's stream in
// received pieces (cut at 0xff bytes; a NUL drops the rest of its piece), the
// pending text split after each piece, nothing relayed after "End_of".
// Invariants:
// - each notification is the keyword's text, the tester id, a blank and the
//   line exactly as sent; the relayed lines with their CR LF, followed by
//   what stays pending, give back the received text;
// - up to and including the "End_of" line, the notifications do not depend
//   on how the stream was cut;
// - the keyword is the one of the first matching prefix of the table below;
//   "End_of" ends the relay, anything else is an ordinary line;
// - a CR or LF inside a line is relayed as a blank: no notification holds
//   one, so a tester cannot make a line of its own for the studio;
// - the first piece read as a boot message gives one 700 line: the text less
//   one trailing CR LF, other CR and LF as blanks.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "modules/dynfagt_internal.h"

namespace {

constexpr int kTester = 17;

struct prefix_reply {
  std::string_view prefix;
  const char* text;
};

// Tried in this order; the TSF_ ones only for lines that begin with "TSF_".
constexpr prefix_reply kTsf[] = {
    {"TSF_notify", "703 tsf notify dynfollow : "},
    {"TSF_declare_ni", "704 tsf declareinstance dynfollow : "},
    {"TSF_synchro", "705 tsf synchro dynfollow : "},
    {"TSF_send", "706 tsf send_message dynfollow : "},
    {"TSF_waittil", "707 tsf waittil_message dynfollow : "},
    {"TSF_begin_waittil", "711 tsf begin_waittil dynfollow : "},
    {"TSF_end_waittil", "712 tsf end_waittil dynfollow : "},
    {"TSF_inittermexcept", "713 tsf inittermexcept_block dynfollow : "},
    {"TSF_intersend", "708 tsf intersend_message dynfollow : "},
    {"TSF_interrecv", "709 tsf interrecv_message dynfollow : "},
};
constexpr prefix_reply kOther[] = {
    {"INTERSEND", "720 INTERSEND : "},
    {"INTERRECV", "721 INTERRECV : "},
    {"TIMEOUTRQST", "722 timeout request : "},
    {"STDIOLKAVAIL", "800 tester asks for studio availability : "},
};

std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

std::string keyword_model(std::string_view line) {
  if (line.starts_with("End_of")) return "702 end dynfollow : ";
  if (line.starts_with("TSF_")) {
    for (const prefix_reply& k : kTsf)
      if (line.starts_with(k.prefix)) return k.text;
  } else {
    for (const prefix_reply& k : kOther)
      if (line.starts_with(k.prefix)) return k.text;
  }
  return "701 line dynfollow : ";
}

struct relay {
  std::vector<std::string> notes;
  std::string relayed;  // the lines consumed, each with its CR LF
  std::string received;
  kvwstr pending;
  bool ended = false;

  void receive(std::string_view piece) {
    if (ended || piece.empty()) return;
    std::string_view text = piece.substr(0, piece.find('\0'));
    received += text;
    pending.cat(text);
    int end = 0;
    std::optional<kvwstr> out = DYNFsplit_lines(kTester, pending, &end);
    if (out) {
      std::string_view all = out->view();
      for (;;) {
        std::size_t cut = all.find("\r\n");
        notes.emplace_back(all.substr(0, cut));
        if (cut == std::string_view::npos) break;
        all.remove_prefix(cut + 2);
      }
    }
    if (end != 0) ended = true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> pieces = fuzz::pieces(data, size);
  if (!pieces.empty()) {
    std::string boot = pieces[0].substr(0, pieces[0].find('\0'));
    std::string line(DYNFboot_line(kTester, kvwstr(boot)).view());
    if (boot.ends_with("\r\n")) boot.resize(boot.size() - 2);
    std::string model = "700 boot dynfollow : " + std::to_string(kTester) + " " + one_line(boot);
    FUZZ_CHECK(line == model, "boot gave %s, expected %s", fuzz::show(line).c_str(), fuzz::show(model).c_str());
  }
  relay cut;
  for (const std::string& piece : pieces) cut.receive(piece);

  // The notifications of the received text, from the model alone, up to and
  // including the End_of line.
  std::vector<std::string> expected;
  std::size_t position = 0;
  for (;;) {
    std::size_t cr = cut.received.find("\r\n", position);
    if (cr == std::string::npos) break;
    std::string line = cut.received.substr(position, cr - position);
    std::string reply = keyword_model(line);
    expected.push_back(reply + std::to_string(kTester) + " " + one_line(line));
    position = cr + 2;
    if (line.starts_with("End_of")) break;
  }
  bool model_ended = !expected.empty() && expected.back().starts_with("702 ");
  FUZZ_CHECK(cut.ended == model_ended, "ended %d, expected %d", cut.ended ? 1 : 0, model_ended ? 1 : 0);

  // The cut relay handles the lines that came with the End_of line too.
  std::size_t compared = std::min(cut.notes.size(), expected.size());
  FUZZ_CHECK(compared == expected.size(), "%zu notifications, expected at least %zu", cut.notes.size(),
             expected.size());
  for (std::size_t i = 0; i < compared; ++i)
    FUZZ_CHECK(cut.notes[i] == expected[i], "notification %zu\n  got      %s\n  expected %s", i,
               fuzz::show(cut.notes[i]).c_str(), fuzz::show(expected[i]).c_str());
  if (!cut.ended) {
    FUZZ_CHECK(cut.notes.size() == expected.size(), "extra notifications");
    FUZZ_CHECK(cut.received.substr(position) == cut.pending.view(), "pending %s, expected %s",
               fuzz::show(cut.pending.view()).c_str(), fuzz::show(cut.received.substr(position)).c_str());
  }

  // Lines and what stays pending give back the stream, in one piece as in many.
  relay whole;
  std::string joined;
  for (const std::string& piece : pieces) joined += piece.substr(0, piece.find('\0'));
  whole.receive(joined);
  std::string rebuilt;
  for (const std::string& note : whole.notes) {
    std::size_t blank = note.find(' ', note.find(" : ") + 3);
    rebuilt += note.substr(blank + 1) + "\r\n";
  }
  for (const std::string& note : whole.notes)
    FUZZ_CHECK(note.find_first_of("\r\n") == std::string::npos, "a CR or LF inside %s", fuzz::show(note).c_str());
  // Each consumed line comes back with its CR and LF as blanks.
  std::string consumed = joined.substr(0, joined.size() - whole.pending.view().size());
  std::string expected_consumed;
  for (std::size_t from = 0; from < consumed.size();) {
    std::size_t cr = consumed.find("\r\n", from);
    expected_consumed += one_line(consumed.substr(from, cr - from)) + "\r\n";
    from = cr + 2;
  }
  joined = expected_consumed + std::string(whole.pending.view());
  rebuilt += whole.pending.view();
  FUZZ_CHECK(rebuilt == joined, "lines and rest %s\n  differ from %s", fuzz::show(rebuilt).c_str(),
             fuzz::show(joined).c_str());
  return 0;
}
