// Version answer and self-test that every program of the family gives before anything else.
#pragma once

#include <stddef.h>

namespace vrk {

// 0 when all five checks pass, else 1 with the first failure's text in msg (size bytes).
int selftest(char* msg, size_t size);

// -1 when neither "--version" nor "--selftest" is in argv; else prints the answer and returns
// the exit status (0 or 1).
int version_or_selftest(int argc, char** argv, const char* program_name);

}  // namespace vrk
