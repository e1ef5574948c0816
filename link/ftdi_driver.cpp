// The libftdi1 backend of the bridge driver. libftdi has no receive event and no queue count, so
// the device keeps its own receive queue: waiting for the event polls the bridge through the
// clock until characters arrive, and the queue count is what has been collected and not read.
// The bridge flushes its buffer at once when it receives the event character (carriage return),
// and the latency timer is set low so that a reply without one is not held back for long.
// libftdi1 (and with it libusb) is loaded only when sysfs shows a device with FTDI's vendor id.
#include "link/ftdi_driver.h"

#include <ftdi.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "link/usb_library.h"

namespace vm {

namespace {

constexpr const char* kLibFtdiSoname = "libftdi1.so.2";

// The libftdi1 functions the backend calls, bound from the library when it is loaded.
struct FtdiApi {
    decltype(&ftdi_new) new_context = nullptr;
    decltype(&ftdi_free) free_context = nullptr;
    decltype(&ftdi_usb_find_all) usb_find_all = nullptr;
    decltype(&ftdi_list_free2) list_free2 = nullptr;
    decltype(&ftdi_usb_get_strings) usb_get_strings = nullptr;
    decltype(&ftdi_usb_open_dev) usb_open_dev = nullptr;
    decltype(&ftdi_usb_close) usb_close = nullptr;
    decltype(&ftdi_set_latency_timer) set_latency_timer = nullptr;
    decltype(&ftdi_set_line_property) set_line_property = nullptr;
    decltype(&ftdi_set_baudrate) set_baudrate = nullptr;
    decltype(&ftdi_tcioflush) tcioflush = nullptr;
    decltype(&ftdi_tciflush) tciflush = nullptr;
    decltype(&ftdi_tcoflush) tcoflush = nullptr;
    decltype(&ftdi_set_event_char) set_event_char = nullptr;
    decltype(&ftdi_set_error_char) set_error_char = nullptr;
    decltype(&ftdi_read_data) read_data = nullptr;
    decltype(&ftdi_write_data) write_data = nullptr;

    bool bind(SharedLibrary& lib) {
        return lib.bind(new_context, "ftdi_new") && lib.bind(free_context, "ftdi_free") &&
               lib.bind(usb_find_all, "ftdi_usb_find_all") && lib.bind(list_free2, "ftdi_list_free2") &&
               lib.bind(usb_get_strings, "ftdi_usb_get_strings") &&
               lib.bind(usb_open_dev, "ftdi_usb_open_dev") && lib.bind(usb_close, "ftdi_usb_close") &&
               lib.bind(set_latency_timer, "ftdi_set_latency_timer") &&
               lib.bind(set_line_property, "ftdi_set_line_property") &&
               lib.bind(set_baudrate, "ftdi_set_baudrate") && lib.bind(tcioflush, "ftdi_tcioflush") &&
               lib.bind(tciflush, "ftdi_tciflush") && lib.bind(tcoflush, "ftdi_tcoflush") &&
               lib.bind(set_event_char, "ftdi_set_event_char") &&
               lib.bind(set_error_char, "ftdi_set_error_char") && lib.bind(read_data, "ftdi_read_data") &&
               lib.bind(write_data, "ftdi_write_data");
    }
};

// The loaded library and its functions; kept alive by every context and device made from it.
struct LoadedFtdi {
    explicit LoadedFtdi(const std::string& soname) : library(soname) {
        if (library.loaded() && !api.bind(library)) library.reject("a function the link calls");
    }
    SharedLibrary library;
    FtdiApi api;
};

// Latency timer of the bridge in milliseconds (the chip's default is 16).
constexpr unsigned char kLatencyMs = 2;
// Characters the receive queue holds at most; what arrives beyond is dropped, as a full driver
// buffer would.
constexpr std::size_t kReceiveQueueLimit = 4096;

struct ContextDeleter {
    const FtdiApi* api = nullptr;
    void operator()(ftdi_context* context) const { api->free_context(context); }
};
using Context = std::unique_ptr<ftdi_context, ContextDeleter>;

struct ListDeleter {
    const FtdiApi* api = nullptr;
    void operator()(ftdi_device_list* list) const { api->list_free2(list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, ListDeleter>;

struct Strings {
    std::array<char, 64> description{};
    std::array<char, 16> serial{};
};

// Reads the description and the serial number of a bridge; false when it cannot be opened for
// that (no permission, or held by another process).
bool ReadStrings(const FtdiApi& api, ftdi_context* context, libusb_device* device, Strings& strings) {
    std::array<char, 128> manufacturer{};
    const int rc =
        api.usb_get_strings(context, device, manufacturer.data(), static_cast<int>(manufacturer.size()),
                            strings.description.data(), static_cast<int>(strings.description.size()),
                            strings.serial.data(), static_cast<int>(strings.serial.size()));
    strings.description.back() = '\0';
    strings.serial.back() = '\0';
    return rc == 0;
}

class LibFtdiDevice final : public FtdiDevice {
  public:
    LibFtdiDevice(std::shared_ptr<const LoadedFtdi> ftdi, Context context)
        : ftdi_(std::move(ftdi)), api_(ftdi_->api), context_(std::move(context)) {}
    ~LibFtdiDevice() override { Close(); }

    FT_STATUS SetDataCharacteristics(std::uint8_t wordLength, std::uint8_t stopBits,
                                     std::uint8_t parity) override {
        if (!context_) return FT_INVALID_HANDLE;
        const ftdi_bits_type bits = wordLength == 7 ? BITS_7 : BITS_8;
        const ftdi_stopbits_type stop =
            stopBits == 2 ? STOP_BIT_2 : (stopBits == 1 ? STOP_BIT_15 : STOP_BIT_1);
        const ftdi_parity_type par = parity <= 4 ? static_cast<ftdi_parity_type>(parity) : NONE;
        return status(api_.set_line_property(context_.get(), bits, stop, par));
    }

    FT_STATUS SetTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) override {
        if (!context_) return FT_INVALID_HANDLE;
        context_->usb_read_timeout = static_cast<int>(std::min<std::uint32_t>(readTimeoutMs, 60'000));
        context_->usb_write_timeout = static_cast<int>(std::min<std::uint32_t>(writeTimeoutMs, 60'000));
        return FT_OK;
    }

    FT_STATUS SetBaudRate(std::uint32_t baudRate) override {
        if (!context_) return FT_INVALID_HANDLE;
        return status(api_.set_baudrate(context_.get(), static_cast<int>(baudRate)));
    }

    FT_STATUS Purge(std::uint32_t mask) override {
        if (!context_) return FT_INVALID_HANDLE;
        int rc = 0;
        if ((mask & FT_PURGE_RX) && (mask & FT_PURGE_TX)) {
            rc = api_.tcioflush(context_.get());
        } else if (mask & FT_PURGE_RX) {
            rc = api_.tciflush(context_.get());
        } else if (mask & FT_PURGE_TX) {
            rc = api_.tcoflush(context_.get());
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
        const int rc = api_.set_event_char(context_.get(), eventChar, eventCharEnabled);
        if (rc < 0) return status(rc);
        return status(api_.set_error_char(context_.get(), errorChar, errorCharEnabled));
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
        const int rc = api_.write_data(context_.get(), reinterpret_cast<const unsigned char*>(buffer),
                                       static_cast<int>(toWrite));
        if (rc < 0) return FT_IO_ERROR;
        bytesWritten = static_cast<std::uint32_t>(rc);
        return FT_OK;
    }

    FT_STATUS Close() override {
        if (!context_) return FT_INVALID_HANDLE;
        const int rc = api_.usb_close(context_.get());
        context_.reset();
        return rc < 0 ? FT_IO_ERROR : FT_OK;
    }

  private:
    static FT_STATUS status(int rc) { return rc < 0 ? FT_IO_ERROR : FT_OK; }

    // Collects what the bridge has delivered. The bridge answers every bulk read within its
    // latency time, with no data when nothing arrived.
    void poll() {
        std::array<unsigned char, 512> chunk{};
        const int rc = api_.read_data(context_.get(), chunk.data(), static_cast<int>(chunk.size()));
        if (rc < 0) {
            failed_ = true;
            return;
        }
        if (rc == 0) return;
        const std::size_t room = kReceiveQueueLimit - std::min(kReceiveQueueLimit, received_.size());
        received_.append(reinterpret_cast<const char*>(chunk.data()), std::min<std::size_t>(rc, room));
        signalled_ = arrivedSinceStatus_ = true;
    }

    std::shared_ptr<const LoadedFtdi> ftdi_;
    const FtdiApi& api_;
    Context context_;
    std::string received_;
    bool notify_ = false;
    bool signalled_ = false;
    bool arrivedSinceStatus_ = false;
    bool failed_ = false;
};

class LibFtdiDriver final : public FtdiDriver {
  public:
    explicit LibFtdiDriver(UsbLibraryOptions options) : options_(std::move(options)) {
        if (options_.library.empty()) options_.library = kLibFtdiSoname;
    }

    FT_STATUS OpenEx(std::string_view arg, std::uint32_t flags,
                     std::unique_ptr<FtdiDevice>& device) override {
        device.reset();
        if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION) return FT_INVALID_PARAMETER;
        if (!FtdiBridgeMayBePresent(options_.sysfs)) return FT_DEVICE_NOT_FOUND;
        const LoadedFtdi* ftdi = load();
        if (ftdi == nullptr) return FT_DEVICE_NOT_FOUND;
        const FtdiApi& api = ftdi->api;
        Context context(api.new_context(), ContextDeleter{&api});
        if (!context) return FT_DEVICE_NOT_FOUND;
        ftdi_device_list* raw = nullptr;
        // Vendor and product 0: the bridges with FTDI's own identifiers.
        if (api.usb_find_all(context.get(), &raw, 0, 0) < 0) return FT_DEVICE_NOT_FOUND;
        DeviceList list(raw, ListDeleter{&api});
        FT_STATUS result = FT_DEVICE_NOT_FOUND;
        for (ftdi_device_list* node = list.get(); node != nullptr; node = node->next) {
            Strings strings;
            if (!ReadStrings(api, context.get(), node->dev, strings)) continue;
            const std::string_view wanted =
                flags == FT_OPEN_BY_SERIAL_NUMBER ? strings.serial.data() : strings.description.data();
            if (wanted != arg) continue;
            // Claiming the interface fails while another process holds the bridge. libftdi
            // detaches the kernel's serial driver here (its default detach mode).
            if (api.usb_open_dev(context.get(), node->dev) < 0) {
                result = FT_DEVICE_NOT_OPENED;
                continue;
            }
            api.set_latency_timer(context.get(), kLatencyMs);
            device = std::make_unique<LibFtdiDevice>(loaded_, std::move(context));
            return FT_OK;
        }
        return result;
    }

    FT_STATUS CreateDeviceInfoList(std::uint32_t& count) override {
        count = 0;
        nodes_.clear();
        if (!FtdiBridgeMayBePresent(options_.sysfs)) return FT_OK;
        const LoadedFtdi* ftdi = load();
        if (ftdi == nullptr) return FT_OTHER_ERROR;
        const FtdiApi& api = ftdi->api;
        Context context(api.new_context(), ContextDeleter{&api});
        if (!context) return FT_OTHER_ERROR;
        ftdi_device_list* raw = nullptr;
        const int found = api.usb_find_all(context.get(), &raw, 0, 0);
        DeviceList list(raw, ListDeleter{&api});
        if (found < 0) return FT_OTHER_ERROR;
        for (ftdi_device_list* node = list.get(); node != nullptr; node = node->next) {
            FT_DEVICE_LIST_INFO_NODE info;
            Strings strings;
            // A bridge whose strings cannot be read (no permission, or in use) is listed with
            // empty strings, so it never matches a description.
            if (ReadStrings(api, context.get(), node->dev, strings)) {
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
    // The library, loaded at the first call that may find a bridge (tried once); nothing when it
    // cannot be loaded.
    const LoadedFtdi* load() {
        if (!loaded_) loaded_ = std::make_shared<LoadedFtdi>(options_.library);
        return loaded_->library.loaded() ? loaded_.get() : nullptr;
    }

    UsbLibraryOptions options_;
    std::shared_ptr<const LoadedFtdi> loaded_;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes_;
};

}  // namespace

std::shared_ptr<FtdiDriver> MakeLibFtdiDriver(UsbLibraryOptions options) {
    return std::make_shared<LibFtdiDriver>(std::move(options));
}

}  // namespace vm
