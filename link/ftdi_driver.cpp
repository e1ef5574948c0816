// The libftdi1 backend of the bridge driver. libftdi has no receive event and no queue count, so
// the device keeps its own receive queue: waiting for the event polls the bridge through the
// clock until characters arrive, and the queue count is what has been collected and not read.
// The bridge flushes its buffer at once when it receives the event character (carriage return),
// and the latency timer is set low so that a reply without one is not held back for long.
#include "link/ftdi_driver.h"

#include <ftdi.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace vm {

namespace {

// Latency timer of the bridge in milliseconds (the chip's default is 16).
constexpr unsigned char kLatencyMs = 2;
// Characters the receive queue holds at most; what arrives beyond is dropped, as a full driver
// buffer would.
constexpr std::size_t kReceiveQueueLimit = 4096;

struct ContextDeleter {
    void operator()(ftdi_context* context) const { ftdi_free(context); }
};
using Context = std::unique_ptr<ftdi_context, ContextDeleter>;

struct ListDeleter {
    void operator()(ftdi_device_list* list) const { ftdi_list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, ListDeleter>;

struct Strings {
    std::array<char, 64> description{};
    std::array<char, 16> serial{};
};

// Reads the description and the serial number of a bridge; false when it cannot be opened for
// that (no permission, or held by another process).
bool ReadStrings(ftdi_context* context, libusb_device* device, Strings& strings) {
    std::array<char, 128> manufacturer{};
    const int rc =
        ftdi_usb_get_strings(context, device, manufacturer.data(), static_cast<int>(manufacturer.size()),
                             strings.description.data(), static_cast<int>(strings.description.size()),
                             strings.serial.data(), static_cast<int>(strings.serial.size()));
    strings.description.back() = '\0';
    strings.serial.back() = '\0';
    return rc == 0;
}

class LibFtdiDevice final : public FtdiDevice {
  public:
    explicit LibFtdiDevice(Context context) : context_(std::move(context)) {}
    ~LibFtdiDevice() override { Close(); }

    FT_STATUS SetDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                     std::uint8_t parity) override {
        if (!context_) return FT_INVALID_HANDLE;
        const ftdi_bits_type bits = wordLength == 7 ? BITS_7 : BITS_8;
        const ftdi_stopbits_type stop =
            stopBits == 2 ? STOP_BIT_2 : (stopBits == 1 ? STOP_BIT_15 : STOP_BIT_1);
        const ftdi_parity_type par = parity <= 4 ? static_cast<ftdi_parity_type>(parity) : NONE;
        return status(ftdi_set_line_property(context_.get(), bits, stop, par));
    }

    FT_STATUS SetTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) override {
        if (!context_) return FT_INVALID_HANDLE;
        context_->usb_read_timeout = static_cast<int>(std::min<std::uint32_t>(readTimeoutMs, 60'000));
        context_->usb_write_timeout = static_cast<int>(std::min<std::uint32_t>(writeTimeoutMs, 60'000));
        return FT_OK;
    }

    FT_STATUS SetBaudRate(std::uint32_t baudRate) override {
        if (!context_) return FT_INVALID_HANDLE;
        return status(ftdi_set_baudrate(context_.get(), static_cast<int>(baudRate)));
    }

    FT_STATUS Purge(std::uint32_t mask) override {
        if (!context_) return FT_INVALID_HANDLE;
        int rc = 0;
        if ((mask & FT_PURGE_RX) && (mask & FT_PURGE_TX)) {
            rc = ftdi_tcioflush(context_.get());
        } else if (mask & FT_PURGE_RX) {
            rc = ftdi_tciflush(context_.get());
        } else if (mask & FT_PURGE_TX) {
            rc = ftdi_tcoflush(context_.get());
        }
        if (mask & FT_PURGE_RX) {
            received_.clear();
            signalled_ = arrivedSinceStatus_ = false;
        }
        return status(rc);
    }

    FT_STATUS SetChars(std::uint8_t eventChar, std::uint8_t eventCharEnabled, std::uint8_t errorChar,
                       std::uint8_t errorCharEnabled) override {
        if (!context_) return FT_INVALID_HANDLE;
        const int rc = ftdi_set_event_char(context_.get(), eventChar, eventCharEnabled);
        if (rc < 0) return status(rc);
        return status(ftdi_set_error_char(context_.get(), errorChar, errorCharEnabled));
    }

    FT_STATUS SetEventNotification(std::uint32_t mask) override {
        if (!context_) return FT_INVALID_HANDLE;
        notify_ = (mask & FT_EVENT_RXCHAR) != 0;
        return FT_OK;
    }

    bool WaitForEvent(Clock& clock, std::uint32_t timeoutMs) override {
        if (!context_ || !notify_) return false;
        const std::int64_t start = clock.nowMs();
        for (;;) {
            poll();
            if (signalled_) {
                signalled_ = false;
                return true;
            }
            if (failed_ || clock.nowMs() - start >= timeoutMs) return false;
            clock.sleepMs(1);
        }
    }

    FT_STATUS GetStatus(std::uint32_t& rxQueue, std::uint32_t& txQueue, std::uint32_t& eventStatus) override {
        if (!context_) return FT_INVALID_HANDLE;
        poll();
        rxQueue = static_cast<std::uint32_t>(received_.size());
        txQueue = 0;  // libftdi writes synchronously
        eventStatus = notify_ && arrivedSinceStatus_ ? FT_EVENT_RXCHAR : 0;
        arrivedSinceStatus_ = false;
        return failed_ ? FT_IO_ERROR : FT_OK;
    }

    // Returns at most what has arrived; the link asks only for the queued count.
    FT_STATUS Read(char* buffer, std::uint32_t toRead, std::uint32_t& bytesRead) override {
        bytesRead = 0;
        if (!context_) return FT_INVALID_HANDLE;
        if (received_.size() < toRead) poll();
        const std::size_t n = std::min<std::size_t>(toRead, received_.size());
        std::copy_n(received_.begin(), n, buffer);
        received_.erase(0, n);
        bytesRead = static_cast<std::uint32_t>(n);
        return failed_ ? FT_IO_ERROR : FT_OK;
    }

    FT_STATUS Write(const char* buffer, std::uint32_t toWrite, std::uint32_t& bytesWritten) override {
        bytesWritten = 0;
        if (!context_) return FT_INVALID_HANDLE;
        const int rc = ftdi_write_data(context_.get(), reinterpret_cast<const unsigned char*>(buffer),
                                       static_cast<int>(toWrite));
        if (rc < 0) return FT_IO_ERROR;
        bytesWritten = static_cast<std::uint32_t>(rc);
        return FT_OK;
    }

    FT_STATUS Close() override {
        if (!context_) return FT_INVALID_HANDLE;
        const int rc = ftdi_usb_close(context_.get());
        context_.reset();
        return rc < 0 ? FT_IO_ERROR : FT_OK;
    }

  private:
    static FT_STATUS status(int rc) { return rc < 0 ? FT_IO_ERROR : FT_OK; }

    // Collects what the bridge has delivered. The bridge answers every bulk read within its
    // latency time, with no data when nothing arrived.
    void poll() {
        std::array<unsigned char, 512> chunk{};
        const int rc = ftdi_read_data(context_.get(), chunk.data(), static_cast<int>(chunk.size()));
        if (rc < 0) {
            failed_ = true;
            return;
        }
        if (rc == 0) return;
        const std::size_t room = kReceiveQueueLimit - std::min(kReceiveQueueLimit, received_.size());
        received_.append(reinterpret_cast<const char*>(chunk.data()), std::min<std::size_t>(rc, room));
        signalled_ = arrivedSinceStatus_ = true;
    }

    Context context_;
    std::string received_;
    bool notify_ = false;
    bool signalled_ = false;
    bool arrivedSinceStatus_ = false;
    bool failed_ = false;
};

class LibFtdiDriver final : public FtdiDriver {
  public:
    FT_STATUS OpenEx(std::string_view arg, std::uint32_t flags,
                     std::unique_ptr<FtdiDevice>& device) override {
        device.reset();
        if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION) return FT_INVALID_PARAMETER;
        Context context(ftdi_new());
        if (!context) return FT_DEVICE_NOT_FOUND;
        ftdi_device_list* raw = nullptr;
        // Vendor and product 0: the bridges with FTDI's own identifiers.
        if (ftdi_usb_find_all(context.get(), &raw, 0, 0) < 0) return FT_DEVICE_NOT_FOUND;
        DeviceList list(raw);
        FT_STATUS result = FT_DEVICE_NOT_FOUND;
        for (ftdi_device_list* node = list.get(); node != nullptr; node = node->next) {
            Strings strings;
            if (!ReadStrings(context.get(), node->dev, strings)) continue;
            const std::string_view wanted =
                flags == FT_OPEN_BY_SERIAL_NUMBER ? strings.serial.data() : strings.description.data();
            if (wanted != arg) continue;
            // Claiming the interface fails while another process holds the bridge. libftdi
            // detaches the kernel's serial driver here (its default detach mode).
            if (ftdi_usb_open_dev(context.get(), node->dev) < 0) {
                result = FT_DEVICE_NOT_OPENED;
                continue;
            }
            ftdi_set_latency_timer(context.get(), kLatencyMs);
            device = std::make_unique<LibFtdiDevice>(std::move(context));
            return FT_OK;
        }
        return result;
    }

    FT_STATUS CreateDeviceInfoList(std::uint32_t& count) override {
        count = 0;
        nodes_.clear();
        Context context(ftdi_new());
        if (!context) return FT_OTHER_ERROR;
        ftdi_device_list* raw = nullptr;
        const int found = ftdi_usb_find_all(context.get(), &raw, 0, 0);
        DeviceList list(raw);
        if (found < 0) return FT_OTHER_ERROR;
        for (ftdi_device_list* node = list.get(); node != nullptr; node = node->next) {
            FT_DEVICE_LIST_INFO_NODE info;
            Strings strings;
            // A bridge whose strings cannot be read (no permission, or in use) is listed with
            // empty strings, so it never matches a description.
            if (ReadStrings(context.get(), node->dev, strings)) {
                info.description.assign(strings.description.data());
                info.serialNumber.assign(strings.serial.data());
            }
            nodes_.push_back(info);
        }
        count = static_cast<std::uint32_t>(nodes_.size());
        return FT_OK;
    }

    FT_STATUS GetDeviceInfoList(std::span<FT_DEVICE_LIST_INFO_NODE> list, std::uint32_t& count) override {
        const std::size_t n = std::min(list.size(), nodes_.size());
        std::copy_n(nodes_.begin(), n, list.begin());
        count = static_cast<std::uint32_t>(n);
        return FT_OK;
    }

  private:
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes_;
};

}  // namespace

std::shared_ptr<FtdiDriver> MakeLibFtdiDriver() { return std::make_shared<LibFtdiDriver>(); }

}  // namespace vm
