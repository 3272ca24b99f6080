#include "archive/archive_keys.h"

#include "archive/archive_keys_config.h"

namespace quarlix {

// The values come from the build (QUARLIX_FULL_KEY, QUARLIX_DEMO_KEY).
const ArchiveKey FullKey = {QUARLIX_FULL_KEY_BYTES};
const ArchiveKey DemoKey = {QUARLIX_DEMO_KEY_BYTES};

}  // namespace quarlix
