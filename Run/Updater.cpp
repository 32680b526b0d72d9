#include "Updater.h"

#include <pthread.h>

#include "Timing.h"

// Filled by the updater: the start-up check and the periodic thread.
std::string ReadUrl() { return ""; }
std::string GetCrc(std::string) { return ""; }
int Update() { return -1; }
void* update_main(void*) { return nullptr; }
void StartUpdateThread() {}
