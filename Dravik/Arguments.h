// The program's arguments, split from the command line each time they are asked for.
#pragma once

#include <cstdint>
#include <string>

// The number of arguments after the program name.
std::int32_t ArgumentCount();

// Argument `index`: 0 is the program's full path, 1... the words after the program name;
// empty past the last one.
std::string ArgumentAt(std::int32_t index);

// The file name of the program (argument 0 without its folder).
std::string ProgramFileName();
