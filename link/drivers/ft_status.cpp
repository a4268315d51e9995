#include "link/drivers/ft_status.h"

const char* ftStatusName(FT_STATUS status) {
    // FTDI's numbering, in order from 0.
    static const char* const names[] = {
        "FT_OK",
        "FT_INVALID_HANDLE",
        "FT_DEVICE_NOT_FOUND",
        "FT_DEVICE_NOT_OPENED",
        "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES",
        "FT_INVALID_PARAMETER",
        "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE",
        "FT_DEVICE_NOT_OPENED_FOR_WRITE",
        "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED",
        "FT_EEPROM_WRITE_FAILED",
        "FT_EEPROM_ERASE_FAILED",
        "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED",
        "FT_INVALID_ARGS",
        "FT_NOT_SUPPORTED",
        "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY",
    };
    if (status < sizeof names / sizeof names[0])
        return names[status];
    return "FT_STATUS_UNKNOWN";
}

const char* ftStatusReason(FT_STATUS status) {
    switch (status) {
    case FT_OK:
        return "no error";
    case FT_INVALID_HANDLE:
        return "the device is not open";
    case FT_DEVICE_NOT_FOUND:
        return "no such device is attached (unplugged or switched off?)";
    case FT_DEVICE_NOT_OPENED:
#if defined(_WIN32)
        return "the device is in use by another program";
#else
        return "the device is in use, or the kernel's ftdi_sio driver holds it";
#endif
    case FT_IO_ERROR:
        return "the device stopped answering (unplugged?)";
    case FT_INSUFFICIENT_RESOURCES:
        return "the system ran out of resources";
    case FT_INVALID_PARAMETER:
    case 16: // FT_INVALID_ARGS
        return "the driver was called wrongly";
    case FT_NOT_SUPPORTED:
        return "the driver cannot do this";
    default:
        return "the driver reported a failure";
    }
}
