// Host serial number: the hardware address of the first suitable interface.
#pragma once

#include <string>

// Twelve lower-case hexadecimal digits, or "000000000000" when no interface qualifies.
std::string getmac();
