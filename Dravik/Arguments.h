// The program's arguments, split from the command line each time they are asked for.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Splits a raw command line into its words: separators are bytes up to 0x20, double quotes
// group (and are never part of a word), an empty quoted word counts as a separator.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The number of arguments after the program name.
std::int32_t ArgumentCount();

// Argument `index`: 0 is the program's full path, 1... the words after the program name;
// empty past the last one.
std::string ArgumentAt(std::int32_t index);

// The file name of the program (argument 0 without its folder).
std::string ProgramFileName();
