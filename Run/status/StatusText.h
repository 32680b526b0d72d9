// The status as text: JSON for status.json, and the Prometheus text
// exposition format for the metrics file.
#pragma once

#include <string>

#include "OutsideText.h"
#include "status/StatusFacts.h"

// "running", "waiting", "stopped", "exhausted" or "never started".
const char* StateWord(ProgramState state);
// The word for a result of Update: "installed", "current", ...; "unknown"
// for a value Update does not return.
const char* ResultWord(int result);

std::string StatusJson(const SUPERVISOR_STATUS& status);
std::string StatusMetrics(const SUPERVISOR_STATUS& status);

// Paths and parameters come from a file that may hold any bytes: every byte
// sequence that is not UTF-8 is written as U+FFFD.
using outside::ValidUtf8;
