#include "agent/cmdagt.h"
#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string expand(const char* text) { return std::string(CMDexpand(nullptr, text, '$').view()); }

struct interpreter {
  cmd_state state;
  int stop = -1;
  explicit interpreter(int authorized, const cmd_table* table = nullptr)
      : state(CMDnew_state("localhost", table, authorized)) {}
  // The reply, or "<none>"; stop tells whether the connection ends.
  std::string line(const char* text) {
    cmd_reply reply = CMDdispatch(nullptr, &state, text, &stop);
    return reply ? std::string(reply->view()) : "<none>";
  }
};

}  // namespace

TEST(Expansion, PlainAndBracedReferences) {
  PLATsetenv("KVS_T_HOME", "/home/t");
  PLATsetenv("A B", "spaced");
  PLATsetenv("KVS_T_REF", "$KVS_T_HOME");
  EXPECT_EQ(expand("GENV $KVS_T_HOME"), "GENV /home/t");
  EXPECT_EQ(expand("X=a${KVS_T_HOME}b"), "X=a/home/tb");
  EXPECT_EQ(expand("X=a$KVS_T_HOMEb"), "X=a$KVS_T_HOMEb");  // the name runs on through the b
  EXPECT_EQ(expand("${A B}"), "spaced");
  EXPECT_EQ(expand("$KVS_T_REF"), "$KVS_T_HOME");  // values are not scanned again
  EXPECT_EQ(expand(""), "");
  EXPECT_EQ(expand(nullptr), "");
}

TEST(Expansion, UnknownEmptyAndBareReferencesStay) {
  PLATunsetenv("KVS_T_NOPE");
  PLATsetenv("KVS_T_EMPTY", "");
  EXPECT_EQ(expand("$KVS_T_NOPE"), "$KVS_T_NOPE");
  EXPECT_EQ(expand("${KVS_T_NOPE}x"), "${KVS_T_NOPE}x");
  EXPECT_EQ(expand("$KVS_T_EMPTY"), "$KVS_T_EMPTY");
  EXPECT_EQ(expand("x$"), "x$");
  EXPECT_EQ(expand("a $ b"), "a $ b");
  EXPECT_EQ(expand("${}"), "${}");
  EXPECT_EQ(expand("${KVS_T_NOPE"), "${KVS_T_NOPE");  // an unclosed brace is kept as written
  EXPECT_EQ(expand("$$"), "$$");
}

TEST(Gate, OnlyQimAndHeloPassBeforeIdentification) {
  interpreter i(0);
  EXPECT_EQ(i.line("GENV PATH"), "<none>");
  EXPECT_EQ(i.stop, 1);
  EXPECT_EQ(i.line("Qim"), "<none>");
  EXPECT_EQ(i.line("Qim\tbob"), "<none>");
  EXPECT_EQ(i.line("QUIT"), "<none>");
  EXPECT_EQ(i.stop, 1);
  EXPECT_EQ(i.line("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(i.stop, 1);
  EXPECT_EQ(i.line("HELOX"), "500 command unknown : HELOX");
  EXPECT_EQ(i.stop, 0);
}

TEST(Gate, UnknownLineBeforeIdentificationIsEchoedUnexpanded) {
  PLATsetenv("KVS_T_SECRET", "hunter2");
  interpreter i(0);
  EXPECT_EQ(i.line("HELO${KVS_T_SECRET}"), "500 command unknown : HELO${KVS_T_SECRET}");
  interpreter j(1);
  EXPECT_EQ(j.line("HELO${KVS_T_SECRET}"), "500 command unknown : HELOhunter2");
}

TEST(Dispatch, MatchingIsExactAndCaseSensitive) {
  interpreter i(1);
  EXPECT_EQ(i.line("helo"), "500 command unknown : helo");
  EXPECT_EQ(i.stop, 0);
  EXPECT_EQ(i.line("CWDX"), "500 command unknown : CWDX");
  EXPECT_EQ(i.line("HELO"), "210 hello, please to meet you.");
  EXPECT_EQ(i.stop, 0);
  EXPECT_EQ(i.line("QUIT"), "221 bye.");
  EXPECT_EQ(i.stop, 1);
}

TEST(Dispatch, ArgumentSkipsLeadingBlanksAndKeepsTrailingOnes) {
  interpreter i(1);
  EXPECT_EQ(i.line("SENV\t  KVS_T_ARG=dir  "), "212 setenv succeeded");
  EXPECT_EQ(PLATgetenv("KVS_T_ARG").value_or("(unset)"), "dir  ");
  EXPECT_EQ(i.line("GENV KVS_T_ARG "), "511 getenv failed");  // the name keeps its blank
  EXPECT_EQ(i.line("GENV KVS_T_ARG"), "211 getenv result : KVS_T_ARG=dir  ");
}

TEST(Help, SingleCommandsAndTheListing) {
  interpreter i(1);
  EXPECT_EQ(i.line("HELP GENV"), "210 get environment variable : GENV varname");
  EXPECT_EQ(i.line("HELP QUIT"), "210 no help.");
  EXPECT_EQ(i.line("HELP XYZ"), "410 I can't give you help. This command is unknown.");
  EXPECT_EQ(i.line("HELP PWDX"), "210 print working directory");
  EXPECT_EQ(i.line("HELP XWHY"), "410 I can't give you help. This command is unknown.");  // hidden
  EXPECT_EQ(i.line("HELP"),
            "110 the known commands are :\r\n"
            "110\tCWD\tDELF\tDENV\tEXEC\tFTPA\tFTPB\tGENV\tGETF\r\n"
            "110\tHELO\tHELP\tMKD\tPDYN\tISND\tTOUT\tAVAI\tPFTP\r\n"
            "110\tPORT\tPRDV\tPUTF\tPWD\tQUIT\tRMD\tRVKO\tRVOK\r\n"
            "110\tDFKO\tDFOK\tSENV\tSTAT\tSTOP\tTRON\tTROF\tTRWA\r\n"
            "210\tQim");
}

TEST(Environment, SetGetAndDelete) {
  interpreter i(1);
  EXPECT_EQ(i.line("SENV KVS_T_E=B=C"), "212 setenv succeeded");
  EXPECT_EQ(i.line("GENV KVS_T_E"), "211 getenv result : KVS_T_E=B=C");
  EXPECT_EQ(i.line("SENV KVS_T_E="), "212 setenv succeeded");
  EXPECT_EQ(i.line("GENV KVS_T_E"), "511 getenv failed");  // empty counts as not set
  EXPECT_EQ(i.line("SENV =X"), "512 setenv failed");
  EXPECT_EQ(i.line("SENV KVS_T_E"), "413 SENV need a value for the variable");
  EXPECT_EQ(i.line("SENV"), "412 SENV need a parameter \"variable_name=value\"");
  EXPECT_EQ(i.line("GENV"), "411 GENV need a variable name as parameter");
  EXPECT_EQ(i.line("DENV"), "414 DENV need a parameter \"variable_name\"");
  EXPECT_EQ(i.line("SENV KVS_T_E=1"), "212 setenv succeeded");
  EXPECT_EQ(i.line("DENV KVS_T_E"), "213 unsetenv succeeded");
  EXPECT_FALSE(PLATgetenv("KVS_T_E").has_value());
  EXPECT_EQ(i.line("DENV A=B"), "513 unsetenv failed");
}

TEST(Interpreter, NotStartedRefusesAndEnds) {
  agt_context_ptr context = CTXnew(10);
  int stop = 0;
  cmd_reply reply = CMDline(context.get(), "HELO", &stop);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->view(), "570 INTERNAL ERROR : CMD not initialized!");
  EXPECT_EQ(stop, 1);
}

TEST(ReplyTable, TextsKeepTheirNumbersAndSpelling) {
  EXPECT_EQ(MSG_COUNT, 94);
  EXPECT_STREQ(cmd_msg[MSG_451_CWD_NEEDS_NAME], "451 CWK wait a directory name as parameter");
  EXPECT_STREQ(cmd_msg[MSG_454_RMD_NEEDS_NAME], "454 RMD wait a directory name as parameter");
  EXPECT_STREQ(cmd_msg[MSG_522_NO_TRACE_PORT], "522 INTERNAL ERROR: No trace port");
  EXPECT_STREQ(cmd_msg[MSG_801_STUDIO_STOP], "801 studio asks for stop : ");
}

TEST(Gate, PrefixTestAndColumns) {
  // A row like Qim but not allowed before admission: the column adds to the prefix test.
  const cmd_entry admitted_only{"Qim", CMDhelo, nullptr};
  struct gate_case {
    int authorized;
    const char* line;
    const cmd_entry* entry;
    bool passes;
  };
  const gate_case cases[] = {
      {0, "HELO", CMDfind("HELO"), true},
      {0, "Qim bob", CMDfind("Qim bob"), true},
      {0, "Qim\tbob", CMDfind("Qim\tbob"), false},  // the prefix test wants the blank
      {0, "HELOX", nullptr, true},                   // unknown, answered with the raw line
      {0, "GENV PATH", CMDfind("GENV PATH"), false},
      {0, "Qim bob", &admitted_only, false},
      {1, "GENV PATH", CMDfind("GENV PATH"), true},
      {1, "Qim bob", &admitted_only, true},
  };
  for (const gate_case& c : cases)
    EXPECT_EQ(CMDgate(c.authorized, c.line, c.entry), c.passes) << c.authorized << " " << c.line;
}

namespace {

// The names of `rows` joined with blanks.
template <class Rows, class Name>
std::string names_of(const Rows& rows, Name name) {
  std::string names;
  for (const auto& row : rows) names.append(names.empty() ? "" : " ").append(name(row));
  return names;
}

cmd_reply admit_if_granted(agt_context*, cmd_state* state, const char* argument) {
  state->admit(std::strcmp(argument, "yes") == 0 ? 1 : 0);
  return kvwstr(state->admitted() ? "admitted" : "refused");
}

cmd_reply launch_if_granted(agt_context*, cmd_state* state, const char*) {
  state->count_launch();
  return kvwstr(std::to_string(state->launched()));
}

}  // namespace

TEST(CommandTable, AssembledFromTheModuleRecords) {
  const cmd_table& table = CMDtable();
  std::string sorted;
  for (std::size_t i = 0; i < table.rows().size(); ++i) {
    const cmd_entry& row = table.rows()[i];
    EXPECT_EQ(row.name_length, std::strlen(row.name)) << row.name;
    EXPECT_EQ(table.find(row.name), &row) << row.name;
    // Strictly increasing: sorted, and no name twice.
    if (i > 0) {
      EXPECT_LT(std::string_view(table.rows()[i - 1].name), std::string_view(row.name));
    }
  }
  std::size_t rows = 0;
  for (const agt_module* module : CMDmodules()) rows += module->commands.size();
  EXPECT_EQ(table.rows().size(), rows);  // every module's rows, none lost
  // HELP's order, as the studio has always seen it.
  EXPECT_EQ(names_of(table.listing(), [](const cmd_entry* row) { return row->name; }),
            "CWD DELF DENV EXEC FTPA FTPB GENV GETF HELO HELP MKD PDYN ISND TOUT AVAI PFTP PORT PRDV PUTF PWD "
            "QUIT RMD RVKO RVOK DFKO DFOK SENV STAT STOP TRON TROF TRWA Qim");

  struct flag_case {
    unsigned flag;
    const char* rows;
  };
  const flag_case flags[] = {
      {CMD_ENDS_CONNECTION, "QUIT"},
      {CMD_BEFORE_ADMISSION, "HELO Qim"},
      {CMD_HIDDEN, "XWHY"},
      {CMD_ADMITS, "Qim"},
      {CMD_LAUNCHES, "EXEC"},
  };
  for (const flag_case& c : flags) {
    std::vector<const char*> with;
    for (const cmd_entry& row : table.rows())
      if ((row.flags & c.flag) != 0) with.push_back(row.name);
    EXPECT_EQ(names_of(with, [](const char* name) { return name; }), c.rows) << c.flag;
  }

  // Records of their own: what the listing makes of them, or why none is made.
  const cmd_entry plain[] = {{"BBB", CMDhelo, nullptr}, {"AAA", CMDhelo, nullptr}, {"ZZZ", CMDhelo, nullptr}};
  const cmd_entry followers[] = {{"YYY", CMDhelo, nullptr, 0, "BBB"}, {"XXX", CMDhelo, nullptr, 0, "BBB"},
                                 {"CCC", CMDhelo, nullptr, 0, "XXX"}, {"HID", CMDhelo, nullptr, CMD_HIDDEN}};
  const cmd_entry twice[] = {{"AAA", CMDhelo, nullptr}};
  const cmd_entry after_missing[] = {{"EEE", CMDhelo, nullptr, 0, "NOPE"}};
  const cmd_entry after_hidden[] = {{"EEE", CMDhelo, nullptr, 0, "HID"}};
  const cmd_entry circle[] = {{"EEE", CMDhelo, nullptr, 0, "FFF"}, {"FFF", CMDhelo, nullptr, 0, "EEE"}};
  const cmd_entry blank[] = {{"A B", CMDhelo, nullptr}};
  const cmd_entry empty[] = {{"", CMDhelo, nullptr}};
  const agt_module base{.name = "base", .commands = plain}, follow{.name = "follow", .commands = followers},
      dup{.name = "dup", .commands = twice}, missing{.name = "missing", .commands = after_missing},
      hidden{.name = "hidden", .commands = after_hidden}, circled{.name = "circle", .commands = circle},
      blanked{.name = "blank", .commands = blank}, unnamed{.name = "empty", .commands = empty};
  struct assembly_case {
    std::vector<const agt_module*> modules;
    const char* listing;  // none: refused
    const char* why;      // a word of the reason
  };
  const assembly_case assemblies[] = {
      {{&base}, "AAA BBB ZZZ", ""},
      // Followers of one row keep their row order; a follower's own follower comes right after it.
      {{&base, &follow}, "AAA BBB YYY XXX CCC ZZZ", ""},
      {{&base, &dup}, nullptr, "two rows named AAA"},
      {{&base, &missing}, nullptr, "EEE is listed after NOPE"},
      {{&base, &follow, &hidden}, nullptr, "EEE is listed after HID"},
      {{&base, &circled}, nullptr, "circle"},
      {{&base, &blanked}, nullptr, "blank"},
      {{&base, &unnamed}, nullptr, "no name"},
  };
  for (const assembly_case& c : assemblies) {
    std::string why;
    std::optional<cmd_table> made = cmd_table::assemble(c.modules, &why);
    ASSERT_EQ(made.has_value(), c.listing != nullptr) << c.modules.back()->name << ": " << why;
    if (made)
      EXPECT_EQ(names_of(made->listing(), [](const cmd_entry* row) { return row->name; }), c.listing);
    else
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }

  // However many names there are, the last line of the listing is the one that ends it.
  const cmd_entry many[] = {{"N01", CMDhelo, nullptr}, {"N02", CMDhelo, nullptr}, {"N03", CMDhelo, nullptr},
                            {"N04", CMDhelo, nullptr}, {"N05", CMDhelo, nullptr}, {"N06", CMDhelo, nullptr},
                            {"N07", CMDhelo, nullptr}, {"N08", CMDhelo, nullptr}, {"N09", CMDhelo, nullptr},
                            {"N10", CMDhelo, nullptr}, {"N11", CMDhelo, nullptr}, {"N12", CMDhelo, nullptr},
                            {"N13", CMDhelo, nullptr}, {"N14", CMDhelo, nullptr}, {"N15", CMDhelo, nullptr},
                            {"N16", CMDhelo, nullptr}, {"N17", CMDhelo, nullptr}};
  struct listing_case {
    std::size_t names;
    const char* prefixes;  // of the lines after the first
  };
  const listing_case listings[] = {{1, "210"}, {7, "210"}, {8, "210"}, {9, "110 210"}, {16, "110 210"},
                                   {17, "110 110 210"}};
  for (const listing_case& c : listings) {
    const agt_module some{.name = "some", .commands = std::span<const cmd_entry>(many, c.names)};
    std::optional<cmd_table> made = cmd_table::assemble(std::vector<const agt_module*>{&some});
    ASSERT_TRUE(made);
    std::string text(CMDhelp_listing(*made).view());
    std::string prefixes;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
      prefixes.append(prefixes.empty() ? "" : " ").append(text.substr(at + 2, 3));
    EXPECT_EQ(prefixes, c.prefixes) << c.names;
  }
}

TEST(CommandTable, HandlersChangeOnlyWhatTheirRowGrants) {
  const cmd_entry rows[] = {
      {"ADMIT", admit_if_granted, nullptr, CMD_ADMITS},
      {"CLAIM", admit_if_granted, nullptr},
      {"LAUNCH", launch_if_granted, nullptr, CMD_LAUNCHES},
      {"COUNT", launch_if_granted, nullptr},
  };
  const agt_module own{.name = "own", .commands = rows};
  std::optional<cmd_table> table = cmd_table::assemble(std::vector<const agt_module*>{&own});
  ASSERT_TRUE(table);
  struct grant_case {
    const char* line;
    const char* reply;
    int stop;
  };
  // In order, on one connection admitted from the start and running its own table.
  const grant_case cases[] = {
      {"CLAIM no", "admitted", 0},   // not granted: the refusal changes nothing
      {"COUNT", "0", 0},             // not granted: nothing counted
      {"LAUNCH", "1", 0},
      {"GENV PATH", "500 command unknown : GENV PATH", 0},  // not a row of this table
      {"ADMIT no", "refused", 1},
  };
  interpreter i(1, &*table);
  for (const grant_case& c : cases) {
    EXPECT_EQ(i.line(c.line), c.reply) << c.line;
    EXPECT_EQ(i.stop, c.stop) << c.line;
  }
  EXPECT_EQ(i.state.launched(), 1);
  // Outside a handler nothing is granted.
  EXPECT_FALSE(i.state.admit(1));
  EXPECT_FALSE(i.state.count_launch());
  EXPECT_FALSE(i.state.count_ended(1));
  EXPECT_FALSE(i.state.admitted());
}

TEST(Failure, TheLatestCauseIsToldOnOneBoundedLine) {
  const std::string long_path(CMD_FAILURE_PATH_MAX + 100, 'p');
  struct failure_case {
    const char* command;
    const char* call;
    std::string path;
    bool no_path;
    int error;
    std::string told;
  };
  const failure_case cases[] = {
      {"GETF", "FSsend_file", "/tmp/x/a.txt", false, ENOENT,
       "290 last failure : GETF : FSsend_file : No such file or directory : /tmp/x/a.txt"},
      {"GENV", "ENVget", "NAME", false, 0, "290 last failure : GENV : ENVget : failed : NAME"},
      {"TRWA", "TRAwait_connection", "", true, EPIPE,
       "290 last failure : TRWA : TRAwait_connection : Broken pipe : "},
      // The path comes last, so that it may hold the separator itself.
      {"DELF", "FSdelete_file", "a : b", false, EACCES,
       "290 last failure : DELF : FSdelete_file : Permission denied : a : b"},
      // A path never ends the line or starts another.
      {"PUTF", "FSreceive_file", "x\r\n291 no failure recorded\n", false, ENOENT,
       "290 last failure : PUTF : FSreceive_file : No such file or directory : x  291 no failure recorded "},
      {"CWD", "FSchange_dir", long_path, false, ENOENT,
       "290 last failure : CWD : FSchange_dir : No such file or directory : " +
           long_path.substr(0, CMD_FAILURE_PATH_MAX) + "..."},
  };
  for (const failure_case& c : cases) {
    cmd_state state;
    CMDfailed(&state, "MKD", "FSmake_dir", "earlier", EEXIST);  // replaced by the latest
    CMDfailed(&state, c.command, c.call, c.no_path ? nullptr : c.path.c_str(), c.error);
    EXPECT_EQ(CMDfailure_reply(state).view(), c.told) << c.command;
  }
  cmd_state none;
  EXPECT_EQ(CMDfailure_reply(none).view(), "291 no failure recorded");
  CMDfailed(nullptr, "GETF", "FSsend_file", "x", ENOENT);  // no state: nothing kept, nothing breaks
}

TEST(Failure, XwhyAnswersAfterAdmissionOnly) {
  interpreter admitted(1);
  EXPECT_EQ(admitted.line("XWHY"), "291 no failure recorded");
  EXPECT_EQ(admitted.stop, 0);
  EXPECT_EQ(admitted.line("GENV KVS_T_UNSET_FOR_XWHY"), "511 getenv failed");
  EXPECT_EQ(admitted.line("SENV KVS_T_XWHY=1"), "212 setenv succeeded");  // a later success keeps the cause
  EXPECT_EQ(admitted.line("XWHY"), "290 last failure : GENV : ENVget : failed : KVS_T_UNSET_FOR_XWHY");
  interpreter greeted(0);
  EXPECT_EQ(greeted.line("XWHY"), "<none>");
  EXPECT_EQ(greeted.stop, 1);
}
