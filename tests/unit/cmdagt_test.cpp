#include "agent/cmdagt.h"
#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

std::string expand(const char* text) { return std::string(CMDexpand(nullptr, text, '$').view()); }

struct interpreter {
  cmd_state state;
  int stop = -1;
  explicit interpreter(int authorized) {
    state.authorized = authorized;
    state.peer_name = "localhost";
  }
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
  const cmd_entry admitted_only{"Qim", 3, CMDhelo, nullptr, 0, CMD_ADMITTED_ONLY, CMD_ANSWERED};
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

TEST(Gate, TableColumns) {
  // Only HELO and Qim run before admission; the replies of the tester answers never reach the studio.
  // Every position of HELP's listing holds exactly one module's row.
  for (int i = 0; i < CMD_TABLE_SIZE; ++i) {
    ASSERT_NE(cmd_table[i].name, nullptr) << i;
    EXPECT_EQ(cmd_table[i].listing, i) << cmd_table[i].name;
  }
  std::string before, silent, hidden;
  for (const cmd_entry& entry : cmd_table) {
    if (entry.gate == CMD_BEFORE_ADMISSION) before.append(entry.name).append(" ");
    if (entry.answer == CMD_SILENT) silent.append(entry.name).append(" ");
    if (entry.listed == CMD_HIDDEN) hidden.append(entry.name).append(" ");
  }
  EXPECT_EQ(before, "HELO Qim ");
  EXPECT_EQ(silent, "ISND TOUT AVAI RVKO RVOK DFKO DFOK ");
  // HELP lists the first rows; the hidden ones come after all of them.
  EXPECT_EQ(hidden, "XWHY ");
  for (int i = 0; i < CMD_TABLE_SIZE; ++i)
    EXPECT_EQ(cmd_table[i].listed == CMD_HIDDEN, i >= CMD_LISTED_SIZE) << cmd_table[i].name;
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
