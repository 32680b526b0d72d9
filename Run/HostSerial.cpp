#include "HostSerial.h"
std::string getmac() { return "000000000000"; }
