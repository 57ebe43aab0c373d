// The bodies of CLASS_FTPClient's methods and the names they use.
//
// Every body looks instance attributes and module globals up when it runs,
// through the interned names below; nothing is captured at import.
#pragma once

#include <Python.h>

#include "runtime/function.h"
#include "session/signature.h"

namespace quorvan::session {

// X(identifier, text): every attribute, global and constant text the
// session uses, interned once per module.
#define QUORVAN_SESSION_NAMES(X)                         \
  X(mobj_FTP, "mobj_FTP")                                \
  X(mb_Connected, "mb_Connected")                        \
  X(ms_Encoding, "ms_Encoding")                          \
  X(mobj_KeepAliveTimer, "mobj_KeepAliveTimer")          \
  X(mi_KeepAliveInterval, "mi_KeepAliveInterval")        \
  X(mb_TimerRunning, "mb_TimerRunning")                  \
  X(mobj_Lock, "mobj_Lock")                              \
  X(CUF_Close, "CUF_Close")                              \
  X(CUF_KeepAlive, "CUF_KeepAlive")                      \
  X(CUF_StartKeepAliveTimer, "CUF_StartKeepAliveTimer")  \
  X(CUF_StopKeepAliveTimer, "CUF_StopKeepAliveTimer")    \
  X(CUF__OnKeepAliveTimer, "CUF__OnKeepAliveTimer")      \
  X(FTP, "FTP")                                          \
  X(error_perm, "error_perm")                            \
  X(threading, "threading")                              \
  X(open, "open")                                        \
  X(Lock, "Lock")                                        \
  X(Timer, "Timer")                                      \
  X(current_thread, "current_thread")                    \
  X(daemon, "daemon")                                    \
  X(start, "start")                                      \
  X(cancel, "cancel")                                    \
  X(acquire, "acquire")                                  \
  X(release, "release")                                  \
  X(connect, "connect")                                  \
  X(login, "login")                                      \
  X(set_pasv, "set_pasv")                                \
  X(encoding, "encoding")                                \
  X(quit, "quit")                                        \
  X(close, "close")                                      \
  X(voidcmd, "voidcmd")                                  \
  X(cwd, "cwd")                                          \
  X(pwd, "pwd")                                          \
  X(nlst, "nlst")                                        \
  X(mkd, "mkd")                                          \
  X(rmd, "rmd")                                          \
  X(delete_, "delete")                                   \
  X(rename, "rename")                                    \
  X(size, "size")                                        \
  X(retrbinary, "retrbinary")                            \
  X(storbinary, "storbinary")                            \
  X(write, "write")                                      \
  X(lastresp, "lastresp")                                \
  X(voidresp, "voidresp")                                \
  X(sock, "sock")                                        \
  X(file, "file")                                        \
  X(readline, "readline")                                \
  X(sendall, "sendall")                                  \
  X(gettimeout, "gettimeout")                            \
  X(settimeout, "settimeout")                            \
  X(shutdown, "shutdown")                                \
  X(encode, "encode")                                    \
  X(timeout, "timeout")                                  \
  X(blocksize, "blocksize")                              \
  X(text_NOOP, "NOOP")                                   \
  X(text_probe, "ABOR\r\nSYST\r\n")                      \
  X(text_TYPE_I, "TYPE I")                               \
  X(text_RETR, "RETR ")                                  \
  X(text_STOR, "STOR ")                                  \
  X(text_utf8, "utf-8")                                  \
  X(text_open_failed, "FTP Open failed: ")               \
  X(mode_wb, "wb")                                       \
  X(mode_rb, "rb")

// X(identifier, name): kwnames tuples, (name,), for calls that pass one
// argument by keyword.
#define QUORVAN_SESSION_KEYWORDS(X) \
  X(kw_timeout, timeout)            \
  X(kw_blocksize, blocksize)

namespace name {
enum Id : int {
#define QUORVAN_ENUM_ENTRY(id, text) id,
  kBeforeFirst = kRuntimeNameCount - 1,
  QUORVAN_SESSION_NAMES(QUORVAN_ENUM_ENTRY)
  kFirstKeyword,
  kBeforeFirstKeyword = kFirstKeyword - 1,
  QUORVAN_SESSION_KEYWORDS(QUORVAN_ENUM_ENTRY)
#undef QUORVAN_ENUM_ENTRY
  kEnd
};
}  // namespace name

// The texts of the names above, in enum order, and the name each keyword
// tuple holds.
extern const char* const kNameTexts[];
constexpr int kNameCount = name::kFirstKeyword - kRuntimeNameCount;
extern const int kKeywordNames[];
constexpr int kKeywordCount = name::kEnd - name::kFirstKeyword;

// The keep-alive interval a session starts with, and the default of both
// parameters that set it.
constexpr long kDefaultKeepAliveInterval = 30;

// The methods, each defined beside its body with its signature.
// lifecycle.cpp
extern const Method kInit, kOpen, kClose, kIsConnected;
// keep_alive.cpp
extern const Method kKeepAlive, kCheckAlive, kOnKeepAliveTimer, kStartKeepAliveTimer,
    kStopKeepAliveTimer;
// directories.cpp
extern const Method kChangeDir, kGetCurrentDir, kListFiles, kMakeDir, kRemoveDir;
// files.cpp
extern const Method kDeleteFile, kRenameFile, kFileExists;
// transfers.cpp
extern const Method kDownloadFile, kUploadFile;

}  // namespace quorvan::session
