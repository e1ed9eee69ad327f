#include "modules/cmd_msg.h"

#include <cstdarg>

const char* const cmd_msg[MSG_COUNT] = {
    "110 the known commands are :",  // 0
    "210 hello, please to meet you.",  // 1
    "210 no help.",  // 2
    "211 getenv result : ",  // 3
    "212 setenv succeeded",  // 4
    "213 unsetenv succeeded",  // 5
    "221 bye.",  // 6
    "222 TRACE port : ",  // 7
    "223 trace off",  // 8
    "224 trace on",  // 9
    "225 trace port established",  // 10
    "226 FTP port : ",  // 11
    "227 transfer mode set to ASCII",  // 12
    "228 transfer mode set to BINARY",  // 13
    "230 (end of transfered) file sent",  // 14
    "231 (end of transfered) file received",  // 15
    "232 file deleted",  // 16
    "240 RDV port : ",  // 17
    "241 DYNF port : ",  // 18
    "251 directory changed",  // 19
    "252 directory created",  // 20
    "253 the current directory is :",  // 21
    "254 directory removed",  // 22
    "261 child process launched : ",  // 23
    "263 process has ended : ",  // 24
    "264 process is running : ",  // 25
    "265 child process killed : ",  // 26
    "310 access authorized.",  // 27
    "410 I can't give you help. This command is unknown.",  // 28
    "411 GENV need a variable name as parameter",  // 29
    "412 SENV need a parameter \"variable_name=value\"",  // 30
    "413 SENV need a value for the variable",  // 31
    "414 DENV need a parameter \"variable_name\"",  // 32
    "430 GETF wait filename as parameter",  // 33
    "431 PUTF wait filename as parameter",  // 34
    "432 DELF wait filename as parameter",  // 35
    "451 CWK wait a directory name as parameter",  // 36
    "452 MDK wait a directory name as parameter",  // 37
    "454 RMD wait a directory name as parameter",  // 38
    "461 EXEC wait a command as parameter",  // 39
    "463 STAT need process number as parameter",  // 40
    "464 STOP need process number as parameter",  // 41
    "500 command unknown : ",  // 42
    "501 Not implemented.",  // 43
    "511 getenv failed",  // 44
    "512 setenv failed",  // 45
    "513 unsetenv failed",  // 46
    "522 INTERNAL ERROR: No trace port",  // 47
    "525 establish trace port failed",  // 48
    "526 INTERNAL ERROR : No ftp port",  // 49
    "530 send file failed",  // 50
    "531 receive file failed",  // 51
    "532 delete file failed",  // 52
    "533 user is not allowed to connect",  // 53
    "540 INTERNAL ERROR : No rdv port",  // 54
    "541 INTERNAL ERROR : No dynf port",  // 55
    "551 CWD failed",  // 56
    "552 MKD failed",  // 57
    "553 PWD failed",  // 58
    "554 RMD failed",  // 59
    "561 EXEC process failed",  // 60
    "563 STAT failed",  // 61
    "564 STOP process failed",  // 62
    "570 INTERNAL ERROR : CMD not initialized!",  // 63
    "580 INTERNAL ERROR : RDV accept failed!",  // 64
    "581 INTERNAL ERROR : RDV recv failed!",  // 65
    "582 INTERNAL ERROR : RDV failed on a memory allocation !!!",  // 66
    "590 INTERNAL ERROR : DYNF accept failed!",  // 67
    "591 INTERNAL ERROR : DYNF boot recv failed!",  // 68
    "592 INTERNAL ERROR : DYNF line recv failed!",  // 69
    "593 INTERNAL ERROR : DYNF end recv failed!",  // 70
    "601 wait rendezvous : ",  // 71
    "602 quit rendezvous : ",  // 72
    "603 error on rendezvous : ",  // 73
    "661 process stopped : ",  // 74
    "700 boot dynfollow : ",  // 75
    "701 line dynfollow : ",  // 76
    "702 end dynfollow : ",  // 77
    "703 tsf notify dynfollow : ",  // 78
    "704 tsf declareinstance dynfollow : ",  // 79
    "705 tsf synchro dynfollow : ",  // 80
    "706 tsf send_message dynfollow : ",  // 81
    "707 tsf waittil_message dynfollow : ",  // 82
    "708 tsf intersend_message dynfollow : ",  // 83
    "709 tsf interrecv_message dynfollow : ",  // 84
    "710 tester disconnected dynfollow : ",  // 85
    "711 tsf begin_waittil dynfollow : ",  // 86
    "712 tsf end_waittil dynfollow : ",  // 87
    "713 tsf inittermexcept_block dynfollow : ",  // 88
    "720 INTERSEND : ",  // 89
    "721 INTERRECV : ",  // 90
    "722 timeout request : ",  // 91
    "800 tester asks for studio availability : ",  // 92
    "801 studio asks for stop : ",  // 93
};

kvwstr CMDreply(cmd_msg_id id) { return kvwstr(cmd_msg[id]); }

kvwstr CMDreplyf(cmd_msg_id id, const char* format, ...) {
  kvwstr reply(cmd_msg[id]);
  va_list args;
  va_start(args, format);
  reply.vcatf(format, args);
  va_end(args);
  return reply;
}
