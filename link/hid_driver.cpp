// The hidapi (hidraw) backend of the HID driver. The enumeration already carries the strings and
// attributes, so a path opened for queries only is served from it without touching the device;
// hidapi has no capabilities query, so the report lengths come from the report descriptor the
// kernel publishes in sysfs.
#include "link/hid_driver.h"

#include <hidapi.h>

#include <array>
#include <map>

#include "link/hid_report_descriptor.h"

namespace vm {

namespace {

// Characters of one device string that are read at most (the terminator not counted).
constexpr std::size_t kStringLength = 127;

struct DeviceInfo {
    std::optional<std::wstring> manufacturer;
    std::optional<std::wstring> product;
    std::optional<std::wstring> serial;
    HidAttributes attributes;
    std::uint16_t usage = 0;
    std::uint16_t usagePage = 0;
};

// hidapi reports a missing string as a null pointer or an empty text; both count as a failed
// query.
std::optional<std::wstring> StringOf(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return std::nullopt;
    std::wstring s(text);
    if (s.size() > kStringLength) s.resize(kStringLength);
    return s;
}

using StringQuery = int (*)(hid_device*, wchar_t*, size_t);

std::optional<std::wstring> QueryString(hid_device* device, StringQuery query) {
    std::array<wchar_t, kStringLength + 1> buffer{};
    if (query(device, buffer.data(), buffer.size()) < 0) return std::nullopt;
    buffer.back() = L'\0';
    return StringOf(buffer.data());
}

class HidapiHandle final : public HidHandle {
  public:
    HidapiHandle(std::string path, DeviceInfo info, hid_device* device)
        : path_(std::move(path)), info_(std::move(info)), device_(device) {}
    ~HidapiHandle() override {
        if (device_) hid_close(device_);
    }

    std::optional<HidCaps> GetCaps() override {
        const HidReportLengths lengths = ReportLengthsOfHidraw(path_);
        return HidCaps{info_.usage, info_.usagePage, lengths.input, lengths.output, lengths.feature};
    }
    std::optional<HidAttributes> GetAttributes() override { return info_.attributes; }
    std::optional<std::wstring> GetManufacturerString() override {
        return device_ ? QueryString(device_, hid_get_manufacturer_string) : info_.manufacturer;
    }
    std::optional<std::wstring> GetProductString() override {
        return device_ ? QueryString(device_, hid_get_product_string) : info_.product;
    }
    std::optional<std::wstring> GetSerialNumberString() override {
        return device_ ? QueryString(device_, hid_get_serial_number_string) : info_.serial;
    }
    bool GetInputReport(std::span<std::uint8_t> report) override {
        if (!device_ || report.empty()) return false;
        return hid_get_input_report(device_, report.data(), report.size()) >= 0;
    }
    // hidraw sends the report as an output report; a report ID of 0 is stripped by the kernel.
    bool SetOutputReport(std::span<const std::uint8_t> report) override {
        if (!device_ || report.empty()) return false;
        return hid_write(device_, report.data(), report.size()) >= 0;
    }
    // hidapi transfers are synchronous: nothing is pending.
    void CancelIo() override {}

  private:
    std::string path_;
    DeviceInfo info_;
    hid_device* device_;
};

class HidapiDriver final : public HidDriver {
  public:
    HidapiDriver() : initialised_(hid_init() == 0) {}
    ~HidapiDriver() override {
        if (initialised_) hid_exit();
    }

    std::vector<std::string> InterfacePaths() override {
        infos_.clear();
        std::vector<std::string> paths;
        if (!initialised_) return paths;
        hid_device_info* list = hid_enumerate(0, 0);
        for (hid_device_info* d = list; d != nullptr; d = d->next) {
            if (d->path == nullptr) continue;
            DeviceInfo info;
            info.manufacturer = StringOf(d->manufacturer_string);
            info.product = StringOf(d->product_string);
            info.serial = StringOf(d->serial_number);
            info.attributes = HidAttributes{d->vendor_id, d->product_id, d->release_number};
            info.usage = d->usage;
            info.usagePage = d->usage_page;
            // hidapi lists one entry per top-level collection; the path is the device.
            if (infos_.emplace(d->path, std::move(info)).second) paths.emplace_back(d->path);
        }
        hid_free_enumeration(list);
        return paths;
    }

    std::unique_ptr<HidHandle> OpenPath(const std::string& path, HidAccess access) override {
        if (!initialised_) return nullptr;
        const auto it = infos_.find(path);
        DeviceInfo info = it != infos_.end() ? it->second : DeviceInfo{};
        if (access == HidAccess::Query) {
            if (it == infos_.end()) return nullptr;
            return std::make_unique<HidapiHandle>(path, std::move(info), nullptr);
        }
        hid_device* device = hid_open_path(path.c_str());
        if (device == nullptr) return nullptr;
        return std::make_unique<HidapiHandle>(path, std::move(info), device);
    }

  private:
    bool initialised_;
    std::map<std::string, DeviceInfo> infos_;
};

}  // namespace

std::shared_ptr<HidDriver> MakeHidapiDriver() { return std::make_shared<HidapiDriver>(); }

}  // namespace vm
