#include "Dravik/ProgramRun.h"

#include <exception>
#include <new>
#include <string>

#include "Dravik/Console.h"
#include "Dravik/FailureReport.h"
#include "SparseUtils/ProgramTexts.h"
#include "failure/Errors.h"
#include "platform/Platform.h"

namespace {

// What the handlers reach: the run's watch, and the error for exhausted memory, made before it
// can be needed.
struct TRunFrame {
  TCopyWatch watch;
  const EOutOfMemory outOfMemory{std::string(texts::kOutOfMemory)};
};

// Writes out what still waits, closes the console channels and ends the process.
[[noreturn]] void TerminateRun(int exitCode) {
  try {
    ConsoleClose();
  } catch (...) {
  }
  platform::EndProcess(exitCode);
}

// An error escaped the command: it is reported, as an act of the run, and the run ends.
[[noreturn]] void HandleUncaughtFailure(TCopyWatch& watch, const char* className,
                                        std::string_view message, std::uintptr_t address) {
  {
    const TCopyWatch::TAct act(watch);
    ShowFailureReport(className, message, address);
  }
  TerminateRun(1);
}

// In the fault's signal handler on POSIX: nothing here takes a lock or allocates.
void OnProcessorFault(void* context, const char* className, const char* message,
                      std::uintptr_t address) {
  static_cast<TRunFrame*>(context)->watch.PutProgressBackAtFault();  // its line erased first
  ShowFailureReport(className, message, address);
  platform::EndProcess(1);
}

// On a thread of its own: the copy under way stops, and its destination is cut. When this
// returns, no act of the run is under way or can begin, and the platform ends the process.
void OnInterrupt(void* context) { static_cast<TRunFrame*>(context)->watch.Interrupt(); }

}  // namespace

void RunProgram(void (*body)(TCopyWatch& watch)) {
  const platform::TFaultStack faultStack;
  TRunFrame frame;
  const TConsoleActs consoleActs(frame.watch);
  platform::InstallFaultHandler(OnProcessorFault, &frame);
  frame.watch.BeforeFirstCopy(  // a run that copies nothing starts no thread
      [&frame] { platform::InstallInterruptHandler(OnInterrupt, &frame); });
  try {
    body(frame.watch);
  } catch (const Exception& error) {
    HandleUncaughtFailure(frame.watch, error.ClassName(), error.Message(), error.Address());
  } catch (const std::bad_alloc&) {
    HandleUncaughtFailure(frame.watch, frame.outOfMemory.ClassName(), frame.outOfMemory.Message(),
                          0);
  } catch (const std::exception& error) {
    HandleUncaughtFailure(frame.watch, "Exception", error.what(), 0);
  }
  TerminateRun(0);
}
