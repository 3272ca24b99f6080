// The quarlix executable: banner, command line, operations. The one place that
// prints a failure and ends the process.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "cli/command_line.h"
#include "cli/console.h"
#include "cli/messages.h"
#include "ops/operations.h"

namespace {

// Prints the failure's message and a line end, then ends the process with its
// exit code (the exit flushes whatever is still buffered).
[[noreturn]] void ReportFatal(const quarlix::FatalError& error, quarlix::Console& console) {
  console.Write(error.Text());
  console.LineEnd();
  std::exit(error.ExitCode);
}

}  // namespace

int main(int argc, char** argv) {
  quarlix::Console console(stdout);
  console.Banner();
  try {
    const quarlix::RunState state = quarlix::ParseCommandLine(argc, argv);
    quarlix::RunOperations(state, console);
  } catch (const quarlix::FatalError& error) {
    ReportFatal(error, console);
  } catch (const std::bad_alloc&) {
    ReportFatal(quarlix::MakeFatal(quarlix::MessageId::kOutOfMemory), console);
  }
  return 0;
}
