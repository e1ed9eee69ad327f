// The numbered replies of the protocol: each text bound to its id in one
// row, exactly as studios and testers expect it (spelling included). The
// agent builds its replies from this table, and the studio side recognises
// the replies it waits for by the same rows, so each text is typed once.
#pragma once

#include <cstddef>
#include <string_view>

// One row a reply: X(id, text). A text begins with the three digits its id
// names, then a blank (checked at compile time below).
#define KVS_REPLY_TABLE(X) \
  X(MSG_110_KNOWN_COMMANDS, "110 the known commands are :") \
  X(MSG_210_HELLO, "210 hello, please to meet you.") \
  X(MSG_210_NO_HELP, "210 no help.") \
  X(MSG_211_GETENV_RESULT, "211 getenv result : ") \
  X(MSG_212_SETENV_OK, "212 setenv succeeded") \
  X(MSG_213_UNSETENV_OK, "213 unsetenv succeeded") \
  X(MSG_221_BYE, "221 bye.") \
  X(MSG_222_TRACE_PORT, "222 TRACE port : ") \
  X(MSG_223_TRACE_OFF, "223 trace off") \
  X(MSG_224_TRACE_ON, "224 trace on") \
  X(MSG_225_TRACE_ESTABLISHED, "225 trace port established") \
  X(MSG_226_FTP_PORT, "226 FTP port : ") \
  X(MSG_227_MODE_ASCII, "227 transfer mode set to ASCII") \
  X(MSG_228_MODE_BINARY, "228 transfer mode set to BINARY") \
  X(MSG_230_FILE_SENT, "230 (end of transfered) file sent") \
  X(MSG_231_FILE_RECEIVED, "231 (end of transfered) file received") \
  X(MSG_232_FILE_DELETED, "232 file deleted") \
  X(MSG_240_RDV_PORT, "240 RDV port : ") \
  X(MSG_241_DYNF_PORT, "241 DYNF port : ") \
  X(MSG_251_DIR_CHANGED, "251 directory changed") \
  X(MSG_252_DIR_CREATED, "252 directory created") \
  X(MSG_253_CURRENT_DIR, "253 the current directory is :") \
  X(MSG_254_DIR_REMOVED, "254 directory removed") \
  X(MSG_261_PROCESS_LAUNCHED, "261 child process launched : ") \
  X(MSG_263_PROCESS_ENDED, "263 process has ended : ") \
  X(MSG_264_PROCESS_RUNNING, "264 process is running : ") \
  X(MSG_265_PROCESS_KILLED, "265 child process killed : ") \
  X(MSG_310_ACCESS_AUTHORIZED, "310 access authorized.") \
  X(MSG_410_HELP_UNKNOWN, "410 I can't give you help. This command is unknown.") \
  X(MSG_411_GENV_NEEDS_NAME, "411 GENV need a variable name as parameter") \
  X(MSG_412_SENV_NEEDS_PARAMETER, "412 SENV need a parameter \"variable_name=value\"") \
  X(MSG_413_SENV_NEEDS_VALUE, "413 SENV need a value for the variable") \
  X(MSG_414_DENV_NEEDS_NAME, "414 DENV need a parameter \"variable_name\"") \
  X(MSG_430_GETF_NEEDS_NAME, "430 GETF wait filename as parameter") \
  X(MSG_431_PUTF_NEEDS_NAME, "431 PUTF wait filename as parameter") \
  X(MSG_432_DELF_NEEDS_NAME, "432 DELF wait filename as parameter") \
  X(MSG_451_CWD_NEEDS_NAME, "451 CWK wait a directory name as parameter") \
  X(MSG_452_MKD_NEEDS_NAME, "452 MDK wait a directory name as parameter") \
  X(MSG_454_RMD_NEEDS_NAME, "454 RMD wait a directory name as parameter") \
  X(MSG_461_EXEC_NEEDS_COMMAND, "461 EXEC wait a command as parameter") \
  X(MSG_463_STAT_NEEDS_NUMBER, "463 STAT need process number as parameter") \
  X(MSG_464_STOP_NEEDS_NUMBER, "464 STOP need process number as parameter") \
  X(MSG_500_COMMAND_UNKNOWN, "500 command unknown : ") \
  X(MSG_501_NOT_IMPLEMENTED, "501 Not implemented.") \
  X(MSG_511_GETENV_FAILED, "511 getenv failed") \
  X(MSG_512_SETENV_FAILED, "512 setenv failed") \
  X(MSG_513_UNSETENV_FAILED, "513 unsetenv failed") \
  X(MSG_522_NO_TRACE_PORT, "522 INTERNAL ERROR: No trace port") \
  X(MSG_525_TRACE_FAILED, "525 establish trace port failed") \
  X(MSG_526_NO_FTP_PORT, "526 INTERNAL ERROR : No ftp port") \
  X(MSG_530_SEND_FILE_FAILED, "530 send file failed") \
  X(MSG_531_RECEIVE_FILE_FAILED, "531 receive file failed") \
  X(MSG_532_DELETE_FILE_FAILED, "532 delete file failed") \
  X(MSG_533_ACCESS_REFUSED, "533 user is not allowed to connect") \
  X(MSG_540_NO_RDV_PORT, "540 INTERNAL ERROR : No rdv port") \
  X(MSG_541_NO_DYNF_PORT, "541 INTERNAL ERROR : No dynf port") \
  X(MSG_551_CWD_FAILED, "551 CWD failed") \
  X(MSG_552_MKD_FAILED, "552 MKD failed") \
  X(MSG_553_PWD_FAILED, "553 PWD failed") \
  X(MSG_554_RMD_FAILED, "554 RMD failed") \
  X(MSG_561_EXEC_FAILED, "561 EXEC process failed") \
  X(MSG_563_STAT_FAILED, "563 STAT failed") \
  X(MSG_564_STOP_FAILED, "564 STOP process failed") \
  X(MSG_570_CMD_NOT_INITIALIZED, "570 INTERNAL ERROR : CMD not initialized!") \
  X(MSG_580_RDV_ACCEPT_FAILED, "580 INTERNAL ERROR : RDV accept failed!") \
  X(MSG_581_RDV_RECV_FAILED, "581 INTERNAL ERROR : RDV recv failed!") \
  X(MSG_582_RDV_MEMORY, "582 INTERNAL ERROR : RDV failed on a memory allocation !!!") \
  X(MSG_590_DYNF_ACCEPT_FAILED, "590 INTERNAL ERROR : DYNF accept failed!") \
  X(MSG_591_DYNF_BOOT_RECV_FAILED, "591 INTERNAL ERROR : DYNF boot recv failed!") \
  X(MSG_592_DYNF_LINE_RECV_FAILED, "592 INTERNAL ERROR : DYNF line recv failed!") \
  X(MSG_593_DYNF_END_RECV_FAILED, "593 INTERNAL ERROR : DYNF end recv failed!") \
  X(MSG_601_RDV_WAIT, "601 wait rendezvous : ") \
  X(MSG_602_RDV_QUIT, "602 quit rendezvous : ") \
  X(MSG_603_RDV_ERROR, "603 error on rendezvous : ") \
  X(MSG_661_PROCESS_STOPPED, "661 process stopped : ") \
  X(MSG_700_DYNF_BOOT, "700 boot dynfollow : ") \
  X(MSG_701_DYNF_LINE, "701 line dynfollow : ") \
  X(MSG_702_DYNF_END, "702 end dynfollow : ") \
  X(MSG_703_TSF_NOTIFY, "703 tsf notify dynfollow : ") \
  X(MSG_704_TSF_DECLARE_INSTANCE, "704 tsf declareinstance dynfollow : ") \
  X(MSG_705_TSF_SYNCHRO, "705 tsf synchro dynfollow : ") \
  X(MSG_706_TSF_SEND, "706 tsf send_message dynfollow : ") \
  X(MSG_707_TSF_WAITTIL, "707 tsf waittil_message dynfollow : ") \
  X(MSG_708_TSF_INTERSEND, "708 tsf intersend_message dynfollow : ") \
  X(MSG_709_TSF_INTERRECV, "709 tsf interrecv_message dynfollow : ") \
  X(MSG_710_TESTER_DISCONNECTED, "710 tester disconnected dynfollow : ") \
  X(MSG_711_TSF_BEGIN_WAITTIL, "711 tsf begin_waittil dynfollow : ") \
  X(MSG_712_TSF_END_WAITTIL, "712 tsf end_waittil dynfollow : ") \
  X(MSG_713_TSF_INITTERMEXCEPT, "713 tsf inittermexcept_block dynfollow : ") \
  X(MSG_720_INTERSEND, "720 INTERSEND : ") \
  X(MSG_721_INTERRECV, "721 INTERRECV : ") \
  X(MSG_722_TIMEOUT_REQUEST, "722 timeout request : ") \
  X(MSG_800_STUDIO_AVAILABILITY, "800 tester asks for studio availability : ") \
  X(MSG_801_STUDIO_STOP, "801 studio asks for stop : ")

enum cmd_msg_id {
#define KVS_REPLY_ID(id, text) id,
  KVS_REPLY_TABLE(KVS_REPLY_ID)
#undef KVS_REPLY_ID
  MSG_COUNT
};

namespace protocol {

struct reply_row {
  cmd_msg_id id;
  std::string_view name;  // the id's name: "MSG_221_BYE"
  std::string_view text;
};

inline constexpr reply_row reply_rows[] = {
#define KVS_REPLY_ROW(id, text) {id, #id, text},
    KVS_REPLY_TABLE(KVS_REPLY_ROW)
#undef KVS_REPLY_ROW
};

// Whether a row's text begins with the number its id names, then a blank.
constexpr bool reply_row_is_sound(const reply_row& row) {
  constexpr std::string_view prefix = "MSG_";
  if (row.name.substr(0, prefix.size()) != prefix || row.name.size() < prefix.size() + 5) return false;
  if (row.name[prefix.size() + 3] != '_' || row.text.size() < 4 || row.text[3] != ' ') return false;
  for (std::size_t i = 0; i < 3; ++i) {
    char digit = row.text[i];
    if (digit < '0' || digit > '9' || digit != row.name[prefix.size() + i]) return false;
  }
  return true;
}

constexpr bool reply_rows_are_sound() {
  std::size_t position = 0;
  for (const reply_row& row : reply_rows)
    if (static_cast<std::size_t>(row.id) != position++ || !reply_row_is_sound(row)) return false;
  return position == MSG_COUNT;
}
static_assert(reply_rows_are_sound(), "a reply text does not begin with the number its id names");

// The replies of XWHY, an extension of this agent outside the numbered table.
inline constexpr std::string_view last_failure_reply = "290 last failure : ";
inline constexpr std::string_view no_failure_reply = "291 no failure recorded";

// The text of reply `id`, as the agent sends it (before any argument).
constexpr std::string_view reply_text(cmd_msg_id id) { return reply_rows[id].text; }
// Its three-digit code: "221".
constexpr std::string_view reply_code(cmd_msg_id id) { return reply_rows[id].text.substr(0, 3); }
// Whether `line` is reply `id`: it begins with the reply's whole text.
constexpr bool is_reply(std::string_view line, cmd_msg_id id) {
  return line.substr(0, reply_text(id).size()) == reply_text(id);
}
// Whether `line` carries the code of reply `id` and a blank after it.
constexpr bool has_reply_code(std::string_view line, cmd_msg_id id) {
  return line.size() >= 4 && line.substr(0, 3) == reply_code(id) && line[3] == ' ';
}
// The row of the id named `name` ("MSG_221_BYE"); none when no row has it.
constexpr const reply_row* find_reply(std::string_view name) {
  for (const reply_row& row : reply_rows)
    if (row.name == name) return &row;
  return nullptr;
}

}  // namespace protocol
