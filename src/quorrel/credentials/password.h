// The password given as "-": read from the terminal with echo off, or from the
// first line of standard input, so that it never stands on the command line
// (where every local user can read it).
#pragma once

#include <string>

namespace quorrel {

// Reads the password from standard input: with the prompt "Password: " on
// standard error and echo off when standard input is a terminal, else the first
// line without its line end. False when no line could be read.
bool ReadPassword(std::string& Password);

}  // namespace quorrel
