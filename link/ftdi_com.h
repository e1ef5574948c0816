#pragma once
// The USB link over the FTDI serial bridge: the bridge runs as a serial line at 1 250 000 baud,
// 8N1, with carriage return as its event character; an exchange writes the command, waits for
// the driver's receive event, reads what arrived and writes the command again while the reply
// is incomplete.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/com_method.h"
#include "link/ftdi_driver.h"

namespace vm {

inline constexpr std::string_view kFtdiDescription = "Vellumotor Control System";

class FTDI_COM final : public COM_METHOD {
  public:
    static constexpr std::uint32_t kBaudRate = 1'250'000;
    static constexpr std::uint32_t kTimeoutMs = 1000;
    // Bridges taken from one device-information list at most; a driver reporting more is cut
    // here so a bogus count cannot make the list allocation unbounded.
    static constexpr std::uint32_t kMaxListedBridges = 64;

    FTDI_COM(const LinkContext& context, std::shared_ptr<FtdiDriver> driver);
    ~FTDI_COM() override;

    bool OpenDefault() override;
    // A leading "@" of the serial number is dropped.
    bool Open(std::string_view serialNumber) override;
    void Close() override;
    int Exchange() override;
    int ListDevices() override;

    bool isOpen() const { return device_ != nullptr; }
    FT_STATUS lastStatus() const { return lastStatus_; }
    // The records of the last listing, kept until the next one (the pipe server picks a bridge
    // from it by index).
    const std::vector<FT_DEVICE_LIST_INFO_NODE>& deviceInfoList() const { return deviceInfo_; }
    // The serial number of the record at this index of the last listing when the listing showed
    // it (the record carries the controller's description); empty otherwise.
    std::string listedSerial(std::size_t index) const;

  private:
    bool openWith(std::string_view arg, std::uint32_t flags);
    void configureLine();
    bool replyComplete() const;

    std::shared_ptr<FtdiDriver> driver_;
    std::unique_ptr<FtdiDevice> device_;
    FT_STATUS lastStatus_ = FT_OK;
    std::uint32_t bytesRead_ = 0;
    std::uint32_t bytesWritten_ = 0;
    std::uint32_t eventMode_ = 0;
    std::uint32_t eventStatus_ = 0;
    std::uint32_t rxQueue_ = 0;
    std::uint32_t txQueue_ = 0;
    std::vector<FT_DEVICE_LIST_INFO_NODE> deviceInfo_;
};

}  // namespace vm
