#include "platform/Arguments.h"

#include "SingletonBase.h"
#include "ToolHelper.h"

std::vector<std::string> BuildArguments(const char* path, const char* param_str) {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string cmd_line = param_str;
  while (tool.replace(cmd_line, "  ", " ") != 0) {
  }
  qmToolHelper::RET_STRING_VECTOR ret_str_list;
  tool.StringSubs(cmd_line, " ", ret_str_list);

  std::vector<std::string> argv;
  argv.reserve(ret_str_list.size() + 1);
  argv.push_back(path);
  for (std::string& piece : ret_str_list) argv.push_back(std::move(piece));
  return argv;
}
