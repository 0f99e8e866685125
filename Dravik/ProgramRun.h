// The run's life cycle. The one top-level handler: every error that escapes the command is
// reported on standard error (Dravik/FailureReport.h) and ends the run with exit code 1, and so
// does a processor fault; every other run ends with exit code 0. An interrupt (Ctrl+C, SIGINT
// ...) cuts a copy under way to the bytes known to be copied and ends the process as the system
// would, printing nothing more.
#pragma once

#include "SparseUtils/CopyWatch.h"

// Runs `body` under the handler and ends the process. The body reports its copies to the watch,
// which an interrupt stops.
[[noreturn]] void RunProgram(void (*body)(TCopyWatch& watch));
