#include "tests/support/harness/driver_load.h"

#include "driver/driver_entry.h"
#include "core/pool_tags.h"
#include "core/tracker.h"

namespace qvtest {

void ResetDriverWideValues() {
    NdisAddDevice = nullptr;
    NdisPnpDispatch = nullptr;
    SavedPhysicalDeviceObject = nullptr;
    PlatformPresent = FALSE;
    StartedOnce = FALSE;
    ChunkPoolTag = FirstChunkPoolTag;
    MemoryPoolTag = FirstMemoryPoolTag;
}

}  // namespace qvtest
