// The hidapi (hidraw) backend of the HID driver. The enumeration already carries the strings and
// attributes, so a path opened for queries only is served from it without touching the device;
// hidapi has no capabilities query, so the report lengths come from the report descriptor the
// kernel publishes in sysfs. hidapi (and with it libudev) is loaded only when sysfs shows a
// hidraw interface.
#include "link/hid_driver.h"

#include <hidapi.h>

#include <array>
#include <map>

#include "link/hid_report_descriptor.h"
#include "link/usb_library.h"

namespace vm {

namespace {

constexpr const char* kHidapiSoname = "libhidapi-hidraw.so.0";

// The hidapi functions the backend calls, bound from the library when it is loaded.
struct HidApi {
    decltype(&hid_init) init = nullptr;
    decltype(&hid_exit) exit = nullptr;
    decltype(&hid_enumerate) enumerate = nullptr;
    decltype(&hid_free_enumeration) free_enumeration = nullptr;
    decltype(&hid_open_path) open_path = nullptr;
    decltype(&hid_close) close = nullptr;
    decltype(&hid_get_manufacturer_string) get_manufacturer_string = nullptr;
    decltype(&hid_get_product_string) get_product_string = nullptr;
    decltype(&hid_get_serial_number_string) get_serial_number_string = nullptr;
    decltype(&hid_get_input_report) get_input_report = nullptr;
    decltype(&hid_write) write = nullptr;

    bool bind(SharedLibrary& lib) {
        return lib.bind(init, "hid_init") && lib.bind(exit, "hid_exit") &&
               lib.bind(enumerate, "hid_enumerate") && lib.bind(free_enumeration, "hid_free_enumeration") &&
               lib.bind(open_path, "hid_open_path") && lib.bind(close, "hid_close") &&
               lib.bind(get_manufacturer_string, "hid_get_manufacturer_string") &&
               lib.bind(get_product_string, "hid_get_product_string") &&
               lib.bind(get_serial_number_string, "hid_get_serial_number_string") &&
               lib.bind(get_input_report, "hid_get_input_report") && lib.bind(write, "hid_write");
    }
};

// The loaded and initialised library; kept alive by every handle opened through it.
struct LoadedHidapi {
    explicit LoadedHidapi(const std::string& soname) : library(soname) {
        if (library.loaded() && !api.bind(library)) library.reject("a function the link calls");
        initialised = library.loaded() && api.init() == 0;
    }
    ~LoadedHidapi() {
        if (initialised) api.exit();
    }
    LoadedHidapi(const LoadedHidapi&) = delete;
    LoadedHidapi& operator=(const LoadedHidapi&) = delete;

    SharedLibrary library;
    HidApi api;
    bool initialised = false;
};

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
    HidapiHandle(std::shared_ptr<const LoadedHidapi> hidapi, std::string path, DeviceInfo info,
                 hid_device* device)
        : hidapi_(std::move(hidapi)),
          api_(hidapi_->api),
          path_(std::move(path)),
          info_(std::move(info)),
          device_(device) {}
    ~HidapiHandle() override {
        if (device_) api_.close(device_);
    }

    std::optional<HidCaps> GetCaps() override {
        const HidReportLengths lengths = ReportLengthsOfHidraw(path_);
        return HidCaps{info_.usage, info_.usagePage, lengths.input, lengths.output, lengths.feature};
    }
    std::optional<HidAttributes> GetAttributes() override { return info_.attributes; }
    std::optional<std::wstring> GetManufacturerString() override {
        return device_ ? QueryString(device_, api_.get_manufacturer_string) : info_.manufacturer;
    }
    std::optional<std::wstring> GetProductString() override {
        return device_ ? QueryString(device_, api_.get_product_string) : info_.product;
    }
    std::optional<std::wstring> GetSerialNumberString() override {
        return device_ ? QueryString(device_, api_.get_serial_number_string) : info_.serial;
    }
    bool GetInputReport(std::span<std::uint8_t> report) override {
        if (!device_ || report.empty()) return false;
        return api_.get_input_report(device_, report.data(), report.size()) >= 0;
    }
    // hidraw sends the report as an output report; a report ID of 0 is stripped by the kernel.
    bool SetOutputReport(std::span<const std::uint8_t> report) override {
        if (!device_ || report.empty()) return false;
        return api_.write(device_, report.data(), report.size()) >= 0;
    }
    // hidapi transfers are synchronous: nothing is pending.
    void CancelIo() override {}

  private:
    std::shared_ptr<const LoadedHidapi> hidapi_;
    const HidApi& api_;
    std::string path_;
    DeviceInfo info_;
    hid_device* device_;
};

class HidapiDriver final : public HidDriver {
  public:
    explicit HidapiDriver(UsbLibraryOptions options) : options_(std::move(options)) {
        if (options_.library.empty()) options_.library = kHidapiSoname;
    }

    std::vector<std::string> InterfacePaths() override {
        infos_.clear();
        std::vector<std::string> paths;
        if (!HidrawInterfaceMayBePresent(options_.sysfs)) return paths;
        const LoadedHidapi* hidapi = load();
        if (hidapi == nullptr) return paths;
        const HidApi& api = hidapi->api;
        hid_device_info* list = api.enumerate(0, 0);
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
        api.free_enumeration(list);
        return paths;
    }

    // Paths come from the enumeration, so the library is loaded when there is one to open.
    std::unique_ptr<HidHandle> OpenPath(const std::string& path, HidAccess access) override {
        const LoadedHidapi* hidapi = loaded();
        if (hidapi == nullptr) return nullptr;
        const auto it = infos_.find(path);
        DeviceInfo info = it != infos_.end() ? it->second : DeviceInfo{};
        if (access == HidAccess::Query) {
            if (it == infos_.end()) return nullptr;
            return std::make_unique<HidapiHandle>(hidapi_, path, std::move(info), nullptr);
        }
        hid_device* device = hidapi->api.open_path(path.c_str());
        if (device == nullptr) return nullptr;
        return std::make_unique<HidapiHandle>(hidapi_, path, std::move(info), device);
    }

  private:
    // The library, loaded and initialised at the first enumeration that may find an interface
    // (tried once); nothing when it cannot be loaded or initialised.
    const LoadedHidapi* load() {
        if (!hidapi_) hidapi_ = std::make_shared<LoadedHidapi>(options_.library);
        return loaded();
    }
    const LoadedHidapi* loaded() const { return hidapi_ && hidapi_->initialised ? hidapi_.get() : nullptr; }

    UsbLibraryOptions options_;
    std::shared_ptr<const LoadedHidapi> hidapi_;
    std::map<std::string, DeviceInfo> infos_;
};

}  // namespace

std::shared_ptr<HidDriver> MakeHidapiDriver(UsbLibraryOptions options) {
    return std::make_shared<HidapiDriver>(std::move(options));
}

}  // namespace vm
