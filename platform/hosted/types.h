// Basic platform types and status codes shared by the NDIS, kernel/I-O and USB declarations.
// These are our own records, written for what the driver needs; sizes follow the host's
// pointer width.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = uint8_t;
using CHAR = char;
using CCHAR = int8_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using ULONG_PTR = uintptr_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOLEAN = uint8_t;
using PVOID = void*;
using NTSTATUS = int32_t;
using KIRQL = uint8_t;
// One UTF-16 code unit, as the platform's wide strings hold them.
using WCHAR = char16_t;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

struct LARGE_INTEGER {
    LONGLONG QuadPart;
};
using PHYSICAL_ADDRESS = LARGE_INTEGER;

// Doubly linked list head or entry, circular through the head.
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

// A counted UTF-16 string; lengths in bytes, Buffer not necessarily terminated.
struct UNICODE_STRING {
    USHORT Length;         // bytes in use, without a terminator
    USHORT MaximumLength;  // bytes Buffer holds
    WCHAR* Buffer;
};

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

// Kernel status codes.
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011u);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001u);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002u);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000Eu);
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016u);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009Au);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009Du);
constexpr NTSTATUS STATUS_IO_TIMEOUT = static_cast<NTSTATUS>(0xC00000B5u);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BBu);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120u);

// The calling convention of routines the platform calls (the driver's entry point, handlers,
// completion routines, timer functions, work items). The real kernel's is stdcall; the hosted
// platform calls them as ordinary functions.
#define NTAPI

// Where a routine's code lives: discardable once the driver is initialized, or pageable (never
// run at DISPATCH_LEVEL). The real kernel has these sections; the hosted platform keeps all
// code resident.
#define DISCARDABLE_CODE
#define PAGEABLE_CODE

inline bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
