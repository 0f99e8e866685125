// The program's two commands and its entry sequence.
#pragma once

#include <cstdint>
#include <string>

#include "SparseUtils/CopyWatch.h"

// Creates `fileArgument` as an all-zero sparse file of `size` bytes (size > 0).
void RunCreateCommand(const std::string& fileArgument, std::int64_t size);

// Copies the file or the files matching the pattern `sourceArgument` to the file or into
// the folder `destinationArgument`, each copy reported to `watch` while it runs.
void RunCopyCommand(const std::string& sourceArgument, const std::string& destinationArgument,
                    TCopyWatch& watch);

// Prints the usage screen and waits for one line of input.
void ShowUsage();

// Runs the command the arguments name, or the usage screen.
void RunDravik(TCopyWatch& watch);
