// Starts one supervised program.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts path with the blank-separated arguments of param_str; returns the
// child's process id, -1 when fork failed, 0 for a null argument.
pid_t RunProcess(const char* path, const char* param_str);

// The argument vector RunProcess hands to the program.
#include "platform/Arguments.h"
