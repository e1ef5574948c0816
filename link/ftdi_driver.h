#pragma once
// The narrow driver interface of the FTDI serial bridge, shaped like the calls the link makes.
// Status codes, flags and the device-information record follow the vendor library's published
// numbering, so the link reads as a sequence of those calls. The production backend runs on
// libftdi1; tests use a fake that serves a virtual controller in virtual time.
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "link/clock.h"
#include "link/fixed_text.h"
#include "link/usb_library.h"

namespace vm {

using FT_STATUS = std::uint32_t;

inline constexpr FT_STATUS FT_OK = 0;
inline constexpr FT_STATUS FT_INVALID_HANDLE = 1;
inline constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
inline constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
inline constexpr FT_STATUS FT_IO_ERROR = 4;
inline constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
inline constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
inline constexpr FT_STATUS FT_OTHER_ERROR = 18;

inline constexpr std::uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2;

inline constexpr std::uint8_t FT_BITS_8 = 8;
inline constexpr std::uint8_t FT_STOP_BITS_1 = 0;
inline constexpr std::uint8_t FT_PARITY_NONE = 0;

inline constexpr std::uint32_t FT_PURGE_RX = 1;
inline constexpr std::uint32_t FT_PURGE_TX = 2;

inline constexpr std::uint32_t FT_EVENT_RXCHAR = 1;

// One record of the device-information list. Only the serial number and the description are
// used by the links; the other members are filled where the backend knows them.
struct FT_DEVICE_LIST_INFO_NODE {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;  // vendor id in the high word, product id in the low word
    std::uint32_t locId = 0;
    FixedText<16> serialNumber;
    FixedText<64> description;
};

// One open bridge (the driver's handle). Destroying it closes the bridge.
class FtdiDevice {
  public:
    virtual ~FtdiDevice() = default;
    virtual FT_STATUS SetDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                             std::uint8_t parity) = 0;
    virtual FT_STATUS SetTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) = 0;
    virtual FT_STATUS SetBaudRate(std::uint32_t baudRate) = 0;
    virtual FT_STATUS Purge(std::uint32_t mask) = 0;
    virtual FT_STATUS SetChars(std::uint8_t eventChar, std::uint8_t eventCharEnabled, std::uint8_t errorChar,
                               std::uint8_t errorCharEnabled) = 0;
    // Installs the receive notification: from now on the driver signals an auto-reset event
    // whenever characters arrive.
    virtual FT_STATUS SetEventNotification(std::uint32_t mask) = 0;
    // Waits on that event for at most timeoutMs through the clock; true when it was signalled.
    virtual bool WaitForEvent(Clock& clock, std::uint32_t timeoutMs) = 0;
    // Characters waiting in the driver, characters not yet sent, and the events seen since the
    // last call (FT_EVENT_RXCHAR when characters arrived).
    virtual FT_STATUS GetStatus(std::uint32_t& rxQueue, std::uint32_t& txQueue,
                                std::uint32_t& eventStatus) = 0;
    virtual FT_STATUS Read(char* buffer, std::uint32_t toRead, std::uint32_t& bytesRead) = 0;
    virtual FT_STATUS Write(const char* buffer, std::uint32_t toWrite, std::uint32_t& bytesWritten) = 0;
    virtual FT_STATUS Close() = 0;
};

class FtdiDriver {
  public:
    virtual ~FtdiDriver() = default;
    // Opens the first bridge whose serial number (FT_OPEN_BY_SERIAL_NUMBER) or description
    // (FT_OPEN_BY_DESCRIPTION) equals the text; a bridge another process holds does not open.
    virtual FT_STATUS OpenEx(std::string_view arg, std::uint32_t flags,
                             std::unique_ptr<FtdiDevice>& device) = 0;
    // Builds the device-information list and reports the number of bridges in it.
    virtual FT_STATUS CreateDeviceInfoList(std::uint32_t& count) = 0;
    // Copies at most list.size() records of the list built last; count receives how many.
    virtual FT_STATUS GetDeviceInfoList(std::span<FT_DEVICE_LIST_INFO_NODE> list, std::uint32_t& count) = 0;
};

// The production backend on libftdi1, loaded at the first call that may find a bridge. Creating
// it never fails; without a usable USB stack or library every call reports a driver error and
// the list is empty.
std::shared_ptr<FtdiDriver> MakeLibFtdiDriver(UsbLibraryOptions options = {});

}  // namespace vm
