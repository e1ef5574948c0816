#pragma once
// The USB HID link: commands go to the controller in output reports, replies come back as text in
// input reports. The device objects and the current device are process-wide (HidDeviceArray) and
// shared by every HID link of the process.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "link/com_method.h"
#include "link/hid_device.h"

namespace vm {

inline constexpr std::string_view kHidProduct = "Vellumotor Control System";

class HID_COM final : public COM_METHOD {
  public:
    // Characters of one reply at most; the rest stays queued in the device.
    static constexpr std::size_t kChunkSize = 64;
    static constexpr std::int64_t kReplyWaitUs = 1'000'000;
    // Pause between two polls that brought no text, so an unanswered poll cannot spin.
    static constexpr std::uint32_t kPollPauseMs = 1;

    HID_COM(const LinkContext& context, std::shared_ptr<HidDeviceArray> devices);
    ~HID_COM() override;

    bool OpenDefault() override;
    // Opens the device whose serial string equals the text (texts of one character never match).
    // A device-table entry is a serial string cut to 15 characters, so a text of exactly 15
    // characters also opens a device whose longer serial string begins with it.
    bool Open(std::string_view serial) override;
    void Close() override;
    // 1 when no device was ever chosen, 2 when the current device is not open, 0 otherwise.
    int Exchange() override;
    int ListDevices() override;

    HidDeviceArray& deviceArray() { return *devices_; }
    // The serial string of the device in this slot when the last listing of this link showed it;
    // empty otherwise (later slots keep devices of older enumerations).
    std::string listedSerial(std::size_t slot) const;

  private:
    int enumerate();
    template <typename Match>
    bool openFirst(Match match);

    std::shared_ptr<HidDeviceArray> devices_;
    // The device this link opened last; destroying the link closes only that one, so a link
    // that never opened anything cannot close the device another link of the process uses.
    CUSBHIDSerialStringWriter* opened_ = nullptr;
    // Devices the last listing of this link found.
    std::size_t listed_ = 0;
};

}  // namespace vm
