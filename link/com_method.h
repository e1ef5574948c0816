#pragma once
// The controller link: one command line out, one reply line back. A link owns a command buffer
// and a reply buffer that callers write and read in place, a device table filled by listings and
// the device selector of the desktop program.
#include <array>
#include <cstddef>
#include <string_view>

#include "link/clock.h"
#include "link/fixed_text.h"
#include "link/link_settings.h"
#include "link/text_out.h"

namespace vm {

// What every transport needs from its program: the program's own transport values, the clock
// for every wait, and where listings and link messages are printed.
struct LinkContext {
    const LinkSettings& settings;
    Clock& clock;
    TextOut& out;
};

class COM_METHOD {
  public:
    static constexpr std::size_t kBufferSize = 200;
    static constexpr std::size_t kDeviceCount = 10;
    static constexpr std::size_t kDeviceEntrySize = 16;
    static constexpr std::size_t kSelectorSize = 30;

    using Buffer = FixedText<kBufferSize>;
    using DeviceEntry = FixedText<kDeviceEntrySize>;

    explicit COM_METHOD(const LinkContext& context) : context_(context) {}
    virtual ~COM_METHOD() = default;
    COM_METHOD(const COM_METHOD&) = delete;
    COM_METHOD& operator=(const COM_METHOD&) = delete;

    // Opens the transport's first suitable device.
    virtual bool OpenDefault() = 0;
    // Opens the device that the text names (serial number, IPv4 address or pipe name).
    virtual bool Open(std::string_view name) = 0;
    // Releases the device; the buffers stay.
    virtual void Close() = 0;
    // Sends the command buffer and leaves the reply in the reply buffer: 0 on success, a
    // transport-specific non-zero code on failure.
    virtual int Exchange() = 0;
    // Enumerates the transport's devices into the device table; returns the count it reports.
    virtual int ListDevices() = 0;

    Buffer& command() { return command_; }
    Buffer& reply() { return reply_; }
    const Buffer& command() const { return command_; }
    const Buffer& reply() const { return reply_; }
    std::array<DeviceEntry, kDeviceCount>& devices() { return devices_; }
    const std::array<DeviceEntry, kDeviceCount>& devices() const { return devices_; }
    FixedText<kSelectorSize>& selector() { return selector_; }

  protected:
    const LinkSettings& settings() const { return context_.settings; }
    Clock& clock() const { return context_.clock; }
    TextOut& out() const { return context_.out; }
    const LinkContext& context() const { return context_; }

  private:
    LinkContext context_;
    Buffer command_;
    Buffer reply_;
    std::array<DeviceEntry, kDeviceCount> devices_;
    FixedText<kSelectorSize> selector_;
};

// Counts the "." characters of a text; the IPv4 rule of the selectors wants exactly three.
int CountDots(std::string_view text);

}  // namespace vm
