// Small file, path, string and process utilities, reached as
// SingletonBase<qmToolHelper>::Instance(). No state; safe from any thread.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>
#include <vector>

#include "SingletonBase.h"
#include "UniqueFd.h"

class qmToolHelper : public SingletonBase<qmToolHelper> {
 public:
  typedef std::vector<std::string> RET_STRING_VECTOR;

  virtual ~qmToolHelper() {}

  // Returns after unMilliSecond ms, or earlier when a signal arrives.
  void Sleep(unsigned int unMilliSecond);

  // Directory of the running executable without a trailing "/"; empty when
  // unknown. Read at the first call and kept for the life of the process.
  std::string GetAppDir();
  // Absolute path of the running executable, read at the first call; empty
  // when unknown.
  std::string GetAppPath();
  // Working directory; empty when it cannot be read.
  std::string GetCurrentDir();

  // Creates or truncates the file and writes file_len bytes: 0, or -1 when
  // the file cannot be opened or written.
  int WriteFileToDisk(const char* file_name, const char* file_data, int file_len);
  // The whole content of a regular file, zero bytes included; empty otherwise.
  std::string ReadFileToDisk(const char* file_name);
  // The same for a regular file of at most max_size bytes; empty for a larger one.
  std::string ReadFileToDisk(const char* file_name, size_t max_size);

  // Removes leading and trailing characters of the set trim_str.
  void TrimSpace(std::string& str, const char* trim_str);
  int strnicmp(const char* _Str1, const char* _Str, size_t _MaxCount);
  // Replaces pszOri by pszDest until none is left, rescanning the text a
  // replacement formed; the number of replacements. Does nothing (0) when
  // pszOri is empty or pszDest contains it, which would never end.
  int replace(std::string& str, const char* pszOri, const char* pszDest);

  // The text between the first begin_str and the next end_str (the end of
  // src_str when end_str is empty): 0, or -1 when either is missing.
  // ret_str is left unchanged when the text is empty.
  int StringSubs(std::string src_str, std::string begin_str, std::string end_str,
                 std::string& ret_str);
  // Appends src_str split at every fg_str (n separators give n + 1 pieces);
  // the size of str_list. An empty fg_str separates nothing.
  int StringSubs(std::string src_str, std::string fg_str, RET_STRING_VECTOR& str_list);
  // Appends every text enclosed by begin_str and end_str; the size of str_list.
  int StringSubs(std::string src_str, std::string begin_str, std::string end_str,
                 RET_STRING_VECTOR& str_list);

  // Processors configured in the system, online or not.
  int GetCpuCnt();

  // Runs command through the shell and appends its output behind the text in
  // buf, in lines of at most 1023 characters, while the text still fits with
  // its terminating zero: the number of characters appended. At the first
  // line that does not fit, reading stops and the command (its whole process
  // group) is ended: endless output cannot hold the caller or its memory.
  int cmd_system(char* buf, size_t buflen, const char* command);
  // The command's whole standard output.
  std::string cmd_system(const char* command);
  // Copies the command's standard output to ours.
  void cmd_system_void(const char* command);

  // Append path + "/" + name for the entries of path (with BAll, the
  // non-directories at every depth instead); the size of the list.
  int GetFileList(RET_STRING_VECTOR& file_list, const char* path, bool BAll);
  // Append the subdirectories of path (with BAll, at every depth, each
  // before its own subdirectories); the size of the list.
  int GetDirList(RET_STRING_VECTOR& dir_list, const char* path, bool BAll);

  // Modification time of the file; 0 when it cannot be opened.
  time_t GetFileModiTime(const char* path);

  // Outcome of the single-instance test.
  struct INSTANCE_LOCK {
    // 1: this process is the instance; 0: another process holds the lock;
    // -1: the lock file cannot be used, lock_error says why.
    int result = -1;
    // Holds the lock while result is 1: keep it open for as long as this
    // process is the instance. Close-on-exec, so no child inherits it.
    UniqueFd lock;
    std::string lock_error;
    // With result 1: why the record could not be written, "" when it was.
    std::string record_error;
  };
  // Where the single-instance lock lock_name lives: in /run for root, beside
  // the executable for any other user or with beside_exe; "" when the
  // executable's directory is unknown. Both places only their owner writes.
  std::string InstanceLockPath(const std::string& lock_name, bool beside_exe);
  // The single-instance test. "Another instance runs" is decided by an
  // exclusive lock on lock_path (created if missing; it must be a regular file
  // of this user, opened without following a link), which only a live
  // process can hold. With the lock taken this process is recorded
  // ("name|pid") at record_path for scripts that read it; the record decides
  // nothing.
  INSTANCE_LOCK TakeInstanceLock(const std::string& lock_path, const std::string& record_path);

  // TakeInstanceLock with the record "/tmp/" + file_name and the lock named
  // after it (tavrin.exe: tavrin.lock) at InstanceLockPath. The lock is kept
  // for the life of the process. 1: this process is the instance (recorded if
  // the record could be written); 0: another instance runs or the lock cannot
  // be used, so this one must not go on.
  int RunOneProcess(std::string file_name);
  // The same with the record and the lock in record_dir (ending with "/"), a
  // directory other users cannot write.
  int RunOneProcess(std::string file_name, const std::string& record_dir);
};
