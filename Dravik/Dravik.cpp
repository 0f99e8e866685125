// Dravik: writes sparse files. Copies one file, or every file matching a pattern, into
// sparse destinations, and creates all-zero sparse files of any size.
#include "Dravik/Commands.h"
#include "Dravik/NumberFormat.h"
#include "Dravik/ProgramRun.h"
#include "platform/Platform.h"

int main(int argc, char** argv) {
  platform::Startup(argc, argv);
  InitNumberFormat();
  RunProgram(RunDravik);
}
