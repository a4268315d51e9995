// FTDI's D2XX ABI as far as the program uses it, written from FTDI's public
// programmer's guide: types, status codes, the device list entry. The program
// never links against FTDI's library; link/driver.h holds the table of
// operations a back end fills.
#pragma once

#include <cstdint>
#if !defined(_WIN32)
#include <pthread.h>
#endif

// 32-bit unsigned everywhere, spelled as FTDI's headers spell them, so that
// the function types below are FTDI's own: unsigned long on Windows (LLP64),
// unsigned int elsewhere.
#if defined(_WIN32)
using DWORD = unsigned long;
using ULONG = unsigned long;
#else
using DWORD = uint32_t;
using ULONG = uint32_t;
#endif
using UCHAR = unsigned char;
using FT_STATUS = ULONG;
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

#if !defined(_WIN32)
// What FT_SetEventNotification takes on Linux and macOS: the library signals
// the condition when bytes arrive after the registration (not for bytes
// already waiting). iVar is the application's; the library leaves it alone.
struct EVENT_HANDLE {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
#endif

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

// FTDI's exported functions as its header declares them, calling convention
// included; a library loaded at run time is called through these.
using FtCreateDeviceInfoListFn = FT_STATUS(FT_API*)(DWORD*);
using FtGetDeviceInfoListFn = FT_STATUS(FT_API*)(FT_DEVICE_LIST_INFO_NODE*, DWORD*);
using FtOpenFn = FT_STATUS(FT_API*)(int, FT_HANDLE*);
using FtSetTimeoutsFn = FT_STATUS(FT_API*)(FT_HANDLE, ULONG, ULONG);
using FtGetStatusFn = FT_STATUS(FT_API*)(FT_HANDLE, DWORD*, DWORD*, DWORD*);
using FtReadFn = FT_STATUS(FT_API*)(FT_HANDLE, void*, DWORD, DWORD*);
using FtWriteFn = FT_STATUS(FT_API*)(FT_HANDLE, void*, DWORD, DWORD*);
using FtCloseFn = FT_STATUS(FT_API*)(FT_HANDLE);
using FtSetEventNotificationFn = FT_STATUS(FT_API*)(FT_HANDLE, DWORD, void*);
using FtSetLatencyTimerFn = FT_STATUS(FT_API*)(FT_HANDLE, UCHAR);
