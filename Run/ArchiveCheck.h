// Checks an update archive before anything is stopped for it: it must be a
// gzip-compressed tar whose members all land inside the directory it is
// unpacked into.
#pragma once

#include <string>

// "" when the archive at path is fit to unpack; otherwise why it is not.
std::string CheckArchive(const std::string& path);
