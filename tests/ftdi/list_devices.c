/* Prints what FTDI's own library reports for each attached device, in the
 * lines shedmate writes to its log, so CI can check the log against FTDI's
 * library itself. Never calls FT_Open. */
#include <stdio.h>

#include "ftd2xx.h"

int main(void) {
    DWORD count = 0;
    FT_STATUS status = FT_CreateDeviceInfoList(&count);
    if (status != FT_OK) {
        printf("FT_CreateDeviceInfoList returned %u\n", (unsigned)status);
        return 1;
    }
    printf("Number of devices is %u\n", (unsigned)count);
    if (count == 0)
        return 0;
    FT_DEVICE_LIST_INFO_NODE nodes[16];
    DWORD listed = count < 16 ? count : 16;
    status = FT_GetDeviceInfoList(nodes, &listed);
    if (status != FT_OK) {
        printf("FT_GetDeviceInfoList returned %u\n", (unsigned)status);
        return 1;
    }
    for (DWORD i = 0; i < listed && i < 16; ++i) {
        printf("Dev %u:\n", (unsigned)i);
        printf("  Flags=0x%x\n", (unsigned)nodes[i].Flags);
        printf("  Type=0x%x\n", (unsigned)nodes[i].Type);
        printf("  ID=0x%x\n", (unsigned)nodes[i].ID);
        printf("  LocId=0x%x\n", (unsigned)nodes[i].LocId);
        printf("  SerialNumber=%.16s\n", nodes[i].SerialNumber);
        printf("  Description=%.64s\n", nodes[i].Description);
    }
    return 0;
}
