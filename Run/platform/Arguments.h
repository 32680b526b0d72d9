// How a program's parameter string becomes its arguments: the one split,
// for the supervised programs and for the health check alike.
#pragma once

#include <string>
#include <vector>

// path, then the pieces of param_str split at single blanks after runs of
// blanks are collapsed (no quoting: every single blank separates).
std::vector<std::string> BuildArguments(const char* path, const char* param_str);
