// FTDI's D2XX ABI as far as the program uses it, written from FTDI's public
// programmer's guide: types, status codes, the device list entry. The program
// never links against FTDI's library; link/driver.h holds the table of
// operations a back end fills.
#pragma once

#include <cstdint>

using DWORD = uint32_t;
using ULONG = uint32_t;
using UCHAR = unsigned char;
using FT_STATUS = uint32_t;
using FT_HANDLE = void*;

// FTDI's status codes. Only FT_IO_ERROR is told apart by the program.
enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

// FT_SetEventNotification mask bit: bytes have arrived.
constexpr DWORD FT_EVENT_RXCHAR = 1;

// FTDI's calling convention: WINAPI on 32-bit Windows, the default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define FT_API __stdcall
#else
#define FT_API
#endif

// One entry of FTDI's device list, laid out as the library writes it:
// 100 bytes on 32-bit Windows, 104 on 64-bit platforms.
struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
using DeviceInfoNode = FT_DEVICE_LIST_INFO_NODE;

static_assert(sizeof(DeviceInfoNode) == (sizeof(void*) == 8 ? 104 : 100),
              "device list entries must match FTDI's layout");
