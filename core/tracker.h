// The resource tracker: hands out records for everything an adapter acquires during
// bring-up, and gives it all back in one walk, newest first, the Adapter last.
#pragma once

#include "core/resources.h"
#include "platform/types.h"

struct Adapter;

// Driver-wide running tags for record chunks and tracked memory. They start at "00QZ" and
// "abQZ" and advance by one after every allocation attempt, successful or not.
extern ULONG ChunkPoolTag;
extern ULONG MemoryPoolTag;

// PASSIVE_LEVEL. A zeroed record already on ResourcesInUse, for the caller to fill in;
// null when no chunk of records could be allocated (nothing has changed then).
ResourceRecord* TrackResource(Adapter* Adapter);

// PASSIVE_LEVEL. Stores a pointer to Length zeroed bytes of non-paged memory, recorded with
// the tracker, through Address and returns ResultSuccess; stores null and returns
// ResultFailure when no record or no memory could be had.
ULONG AllocateTrackedMemory(Adapter* Adapter, PVOID* Address, ULONG Length);

// PASSIVE_LEVEL. Releases every tracked resource, newest first, the Adapter last, then the
// record chunks. The Adapter is gone afterwards: the caller must not touch it.
void ReleaseAllResources(Adapter* Adapter);
