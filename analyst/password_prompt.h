// Asking the analyst for a password on the terminal.
#pragma once

#include <string>

namespace vtx::analyst {

// Shows `prompt` on standard error and reads one line from standard input with echo off.
// False when standard input is no terminal or ended before a line.
bool ReadPassword(const std::string& prompt, std::string& out);

}  // namespace vtx::analyst
