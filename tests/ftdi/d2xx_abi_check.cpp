// Compiled (never run) in CI against FTDI's own ftd2xx.h and WinTypes.h, for
// each target: link/d2xx.h must declare exactly FTDI's ABI, so that a library
// loaded at run time is called the way it was built to be called.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace ours {
#include "link/d2xx.h"
}

// FTDI's header makes this a macro, which would rewrite the qualified name.
constexpr auto ourEventRxChar = ours::FT_EVENT_RXCHAR;

#include "ftd2xx.h"

#define SAME_TYPE(T) static_assert(std::is_same_v<ours::T, ::T>, #T " differs from FTDI's")
SAME_TYPE(DWORD);
SAME_TYPE(ULONG);
SAME_TYPE(UCHAR);
SAME_TYPE(FT_STATUS);
SAME_TYPE(FT_HANDLE);

#define SAME_VALUE(C)                                                                              \
    static_assert(static_cast<long long>(ours::C) == static_cast<long long>(::C),                  \
                  #C " differs from FTDI's")
SAME_VALUE(FT_OK);
SAME_VALUE(FT_INVALID_HANDLE);
SAME_VALUE(FT_DEVICE_NOT_FOUND);
SAME_VALUE(FT_DEVICE_NOT_OPENED);
SAME_VALUE(FT_IO_ERROR);
SAME_VALUE(FT_INSUFFICIENT_RESOURCES);
SAME_VALUE(FT_INVALID_PARAMETER);
SAME_VALUE(FT_NOT_SUPPORTED);
SAME_VALUE(FT_OTHER_ERROR);
static_assert(ourEventRxChar == FT_EVENT_RXCHAR, "FT_EVENT_RXCHAR differs from FTDI's");

using OurNode = ours::FT_DEVICE_LIST_INFO_NODE;
using FtdiNode = ::FT_DEVICE_LIST_INFO_NODE;
static_assert(sizeof(OurNode) == sizeof(FtdiNode), "device list entry size differs");
static_assert(alignof(OurNode) == alignof(FtdiNode), "device list entry alignment differs");
#define SAME_FIELD(F)                                                                              \
    static_assert(offsetof(OurNode, F) == offsetof(FtdiNode, F), "offset of " #F " differs");      \
    static_assert(std::is_same_v<decltype(OurNode::F), decltype(FtdiNode::F)>,                     \
                  "type of " #F " differs")
SAME_FIELD(Flags);
SAME_FIELD(Type);
SAME_FIELD(ID);
SAME_FIELD(LocId);
SAME_FIELD(SerialNumber);
SAME_FIELD(Description);
SAME_FIELD(ftHandle);

#if !defined(_WIN32)
// The event FT_SetEventNotification signals, as link/drivers/rx_event_posix.cpp
// hands it over.
using OurEvent = ours::EVENT_HANDLE;
using FtdiEvent = ::EVENT_HANDLE;
static_assert(sizeof(OurEvent) == sizeof(FtdiEvent), "EVENT_HANDLE size differs");
static_assert(alignof(OurEvent) == alignof(FtdiEvent), "EVENT_HANDLE alignment differs");
#define SAME_EVENT_FIELD(F)                                                                        \
    static_assert(offsetof(OurEvent, F) == offsetof(FtdiEvent, F), "offset of " #F " differs");    \
    static_assert(std::is_same_v<decltype(OurEvent::F), decltype(FtdiEvent::F)>,                   \
                  "type of " #F " differs")
SAME_EVENT_FIELD(eCondVar);
SAME_EVENT_FIELD(eMutex);
SAME_EVENT_FIELD(iVar);
#endif

// The function types, calling convention included (it is part of the type
// where it matters: __stdcall on 32-bit Windows).
#define SAME_FUNCTION(F)                                                                           \
    static_assert(std::is_same_v<ours::Ft##F##Fn, decltype(&::FT_##F)>,                            \
                  "FT_" #F "'s type differs from FTDI's")
SAME_FUNCTION(CreateDeviceInfoList);
SAME_FUNCTION(Open);
SAME_FUNCTION(SetTimeouts);
SAME_FUNCTION(GetStatus);
SAME_FUNCTION(Read);
SAME_FUNCTION(Write);
SAME_FUNCTION(Close);
SAME_FUNCTION(SetEventNotification);
SAME_FUNCTION(SetLatencyTimer);

// Its node type is ours, not FTDI's: the node's layout is checked above, the
// rest of the type here, in two steps through the same spelling.
static_assert(
    std::is_same_v<ours::FtGetDeviceInfoListFn, ours::FT_STATUS(FT_API*)(OurNode*, ours::DWORD*)>,
    "FT_GetDeviceInfoList's type is not spelled as checked");
static_assert(std::is_same_v<decltype(&::FT_GetDeviceInfoList),
                             ours::FT_STATUS(FT_API*)(FtdiNode*, ours::DWORD*)>,
              "FT_GetDeviceInfoList's type differs from FTDI's");
