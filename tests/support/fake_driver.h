// A scripted stand-in for FTDI's driver: the test decides the device list, the
// open result, every byte the program reads (and in which pieces), how many
// bytes each write accepts, and which calls fail. Thread-safe: the program's two
// threads call it while the test thread scripts it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/driver.h"

namespace fake {

struct Device {
    std::string description;
    std::string serial = "FT0001";
    uint32_t flags = 0;
    uint32_t type = 5;
    uint32_t id = 0x04036001;
    uint32_t locId = 0x11;
};

// Forgets every script and installs the fake as the driver. withRxWait chooses
// whether the fake offers the optional wait for arriving bytes.
void reset(bool withRxWait = true);

void setDevices(std::vector<Device> devices);
void setCreateListStatus(FT_STATUS status);
void setGetListStatus(FT_STATUS status);
void setOpenStatus(FT_STATUS status);
// What lastError gives after a failed list or open (default "").
void setFailureText(const std::string& text);
// Index FT_Open was called with, or -1.
int openedIndex();
int closeCount();
// Read/write time-outs the program set, or 0.
uint32_t readTimeout();
uint32_t writeTimeout();
int latencyTimer();

// Queues bytes for the program to read; each call is returned by reads of its
// own (a read never spans two pushes).
void pushRx(const std::string& bytes);

// Most bytes one FT_Write accepts (default: all).
void setMaxWrite(size_t bytes);
// Status every FT_Write returns from now on (FT_OK restores).
void setWriteStatus(FT_STATUS status);
// Status FT_GetStatus / FT_Read return from now on. A read returns its bytes
// with any status but FT_IO_ERROR.
void setGetStatusResult(FT_STATUS status);
void setReadResult(FT_STATUS status);
// While blocked, FT_Read waits (as a driver stuck in a call does).
void blockReads(bool blocked);
// Number of reads currently blocked inside the fake.
int blockedReaders();

// Forgets what was written and what is still to be read, keeping the devices,
// the open handle, the failures and the responder: one fuzz input's traffic.
void forgetTraffic();

// Everything written so far, and the bytes of each FT_Write call.
std::string written();
std::vector<std::string> writeCalls();
// Waits until written() contains needle; false after timeoutMs.
bool waitForWritten(const std::string& needle, int timeoutMs = 2000);

// Called with every complete line the program writes ("\n" removed), on the
// writing thread; it may pushRx replies. Plays the controller.
void setResponder(std::function<void(const std::string& line)> responder);

} // namespace fake
