// Device-level USB work: learning the device objects, configuring the device and its pipes,
// and resetting the bulk pipes.
#pragma once

#include "platform/types.h"

struct Adapter;

// Pipes of the selected interface, by their index in InterfaceInfo.
constexpr ULONG ReceivePipe = 0;    // bulk in
constexpr ULONG TransmitPipe = 1;   // bulk out
constexpr ULONG InterruptPipe = 2;  // must exist; unused
constexpr ULONG RequiredPipeCount = 3;

// Bytes of the configuration descriptor set that are read and kept.
constexpr ULONG ConfigDescriptorBufferSize = 255;

// PASSIVE_LEVEL. Sets (URB_FUNCTION_SET_FEATURE_TO_DEVICE) or clears
// (URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE) the device's remote wake-up feature.
// SubmitUrbSync's result: ResultSuccess, ResultFailure or ResultTimeout.
ULONG SendRemoteWakeupFeature(Adapter* Adapter, USHORT Function);

// PASSIVE_LEVEL. Fills PhysicalDeviceObject, FunctionalDeviceObject and NextDeviceObject
// from NDIS. ResultSuccess, or ResultFailure when NDIS gave no next device object.
ULONG GetDeviceObjects(Adapter* Adapter);

// PASSIVE_LEVEL. Reads the descriptors, selects the configuration with its three pipes,
// clears remote wake-up and reads the device status. ResultSuccess or ResultFailure.
ULONG ConfigureUsbDevice(Adapter* Adapter);

// PASSIVE_LEVEL. Aborts and resets the transmit pipe, then the receive pipe. Only a failed
// transmit abort ends it early: once that pipe is empty, the receive pipe is cleared too,
// whatever the transmit reset did. ResultSuccess, or ResultFailure when any request failed.
ULONG ResetBulkPipes(Adapter* Adapter);
