// The command-line forms:
//   quarlix -[acdlq] archive [directory]   letters combine; c and a need the directory
//   quarlix path                           a directory is packed, anything else extracted
// A command line that fits none of them fails with the usage text.
#pragma once

#include "cli/run_state.h"

namespace quarlix {

// arguments[0] is the program name. Throws FatalError (usage) on misuse.
RunState ParseCommandLine(int argc, const char* const* argv);

}  // namespace quarlix
