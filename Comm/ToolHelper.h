// Small file, path, string and process utilities, reached as
// SingletonBase<qmToolHelper>::Instance(). No state; safe from any thread.
#pragma once

#include <stddef.h>
#include <time.h>

#include <string>
#include <vector>

#include "SingletonBase.h"

class qmToolHelper : public SingletonBase<qmToolHelper> {
 public:
  typedef std::vector<std::string> RET_STRING_VECTOR;

  virtual ~qmToolHelper() {}

  // Returns after unMilliSecond ms, or earlier when a signal arrives.
  void Sleep(unsigned int unMilliSecond);

  // Directory of the running executable without a trailing "/"; empty when unknown.
  std::string GetAppDir();
  // Absolute path of the running executable; empty when unknown.
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
  // its terminating zero: the number of characters appended.
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

  // Single-instance test on the record "/tmp/" + file_name: 0 when the
  // process recorded there is alive and runs the recorded executable, 1
  // after recording this process ("name|pid") instead.
  int RunOneProcess(std::string file_name);
  // The same with the record in record_dir (ending with "/").
  int RunOneProcess(std::string file_name, const std::string& record_dir);
};
