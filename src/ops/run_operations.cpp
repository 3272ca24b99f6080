#include "ops/operations.h"

namespace quarlix {

void RunOperations(const RunState& state, Console& console) {
  const RunOptions& options = state.Options;
  if (options.Decompress || options.List) ListOrExtract(state, console);
  if (options.Compress) CreateArchive(state, console);
  if (options.Add) AddToArchive(state, console);
  if (options.PackDropped) PackDroppedDirectory(state, console);
}

}  // namespace quarlix
