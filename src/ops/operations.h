// The four operations, run in a fixed order by RunOperations. Each reads the
// run state, prints its lines on the console, and throws FatalError on failure.
#pragma once

#include "cli/console.h"
#include "cli/run_state.h"

namespace quarlix {

// Lists (l) or extracts (d, or a single archive argument) ArchivePath.
void ListOrExtract(const RunState& state, Console& console);
// Creates ArchivePath from every file under DirectoryPath (c).
void CreateArchive(const RunState& state, Console& console);
// Adds every file under DirectoryPath to the existing ArchivePath (a).
void AddToArchive(const RunState& state, Console& console);
// Packs a dropped directory into DirectoryPath.qlx, names relative to it.
void PackDroppedDirectory(const RunState& state, Console& console);

// Runs the selected operations: list or extract, create, add, pack.
void RunOperations(const RunState& state, Console& console);

}  // namespace quarlix
