// The real Windows kernel interface, from the cross toolchain's DDK headers (mingw-w64), for the
// 32-bit NDIS 5.0 build of the driver. The headers check every call, callback and record
// against the kernel's own prototypes and layouts.
//
// The Debian version of those headers has a few faults. They are worked around here, around
// the includes, so that the system's headers stay as they are:
//  - wdm.h defines InterlockedBitTestAndSet/Reset itself, which clashes with the compiler
//    intrinsics header: the intrinsics header is told they are defined already.
//  - wdm.h tests NTDDI_VERSION against NTDDI_WINVISTA, which nothing defines: it is defined
//    to its documented value, and NTDDI_VERSION to Windows 2000.
//  - ndis.h defines NDIS_REQUEST_TYPE a second time (ntddndis.h has it): ndis.h's copy is
//    renamed while it is read, and the two are identical.
//  - ndis.h's NdisMWanIndicateReceiveComplete lacks a comma between its parameters: the
//    declaration is replaced by a harmless one while ndis.h is read (WAN calls are not used).
//  - usbdlib.h declares C routines without extern "C": it is included inside a C block.
#pragma once

#if !defined(__i386__)
#error "The Windows kernel build targets 32-bit x86 (i686-w64-mingw32)."
#endif

// The build defines the target version (Windows 2000) on the command line, since the C++
// library's headers, included first by some files, would otherwise pick a newer default.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0500 || NTDDI_VERSION != 0x05000000
#error "Build with -D_WIN32_WINNT=0x0500 -DNTDDI_VERSION=0x05000000."
#endif

#define NDIS_MINIPORT_DRIVER 1
#define NDIS50_MINIPORT 1
#define BINARY_COMPATIBLE 0

#include <sdkddkver.h>
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <ntddndis.h>

#define _NDIS_REQUEST_TYPE QvnetDdkNdisRequestTypeCopy_
#define NDIS_REQUEST_TYPE QvnetDdkNdisRequestTypeCopy
#define PNDIS_REQUEST_TYPE QvnetDdkNdisRequestTypeCopyPointer
#define NdisRequestQueryInformation QvnetDdkNdisRequestQueryInformation
#define NdisRequestSetInformation QvnetDdkNdisRequestSetInformation
#define NdisRequestQueryStatistics QvnetDdkNdisRequestQueryStatistics
#define NdisRequestOpen QvnetDdkNdisRequestOpen
#define NdisRequestClose QvnetDdkNdisRequestClose
#define NdisRequestSend QvnetDdkNdisRequestSend
#define NdisRequestTransferData QvnetDdkNdisRequestTransferData
#define NdisRequestReset QvnetDdkNdisRequestReset
#define NdisRequestGeneric1 QvnetDdkNdisRequestGeneric1
#define NdisRequestGeneric2 QvnetDdkNdisRequestGeneric2
#define NdisRequestGeneric3 QvnetDdkNdisRequestGeneric3
#define NdisRequestGeneric4 QvnetDdkNdisRequestGeneric4
#define NdisMWanIndicateReceiveComplete(parameters) QvnetDdkUnusedWanIndicateReceiveComplete(PVOID)
// The handler table's name is taken by the flat record below; the DDK's nested C++ form keeps
// another name for the layout checks.
#define NDIS50_MINIPORT_CHARACTERISTICS QvnetDdkNdis50MiniportCharacteristics

#include <ndis.h>

#undef NDIS50_MINIPORT_CHARACTERISTICS
#undef NdisMWanIndicateReceiveComplete
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4

#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

// windows.h-style headers make "interface" a keyword-like macro; the driver never needs it.
#ifdef interface
#undef interface
#endif

static_assert(sizeof(void*) == 4, "the kernel build is 32-bit");
