// The update check and installation.
#pragma once

#include <string>

std::string ReadUrl();
std::string GetCrc(std::string json_data);
int Update();
void* update_main(void* arg);

// Starts update_main on a detached thread.
void StartUpdateThread();
