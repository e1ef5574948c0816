#include "link/hid_device.h"

#include <algorithm>

namespace vm {

HidString NarrowHidString(std::wstring_view text) {
    std::string narrow;
    for (const wchar_t unit : text.substr(0, HidString::kMaxLength)) {
        const char c = static_cast<char>(static_cast<std::uint32_t>(unit) & 0xFF);
        if (c == '\0') break;
        narrow.push_back(c);
    }
    return HidString(narrow);
}

bool CUSBHumanInterfaceDevice::OpenDevice() {
    // Opening an open device replaces its handle: the old one is released first, so a reopen that
    // fails leaves the device closed instead of marked open without a handle.
    CloseDevice();
    if (driver_ == nullptr || path_.empty()) return false;
    handle_ = driver_->OpenPath(path_, HidAccess::ReadWrite);
    if (!handle_) return false;
    open_ = true;
    return true;
}

bool CUSBHumanInterfaceDevice::CloseDevice() {
    if (!handle_) return false;
    handle_->CancelIo();
    handle_.reset();
    open_ = false;
    return true;
}

bool CUSBHumanInterfaceDevice::WriteBytes(std::span<const std::uint8_t> bytes) {
    if (!open_ || bytes.empty()) return false;
    // A report needs the report-ID byte and at least one payload byte.
    if (outputReportLength_ < 2) return false;
    const std::size_t piece = outputReportLength_ - 1;
    std::vector<std::uint8_t> report(outputReportLength_);
    for (std::size_t pos = 0; pos < bytes.size(); pos += piece) {
        const std::size_t n = std::min(piece, bytes.size() - pos);
        std::fill(report.begin(), report.end(), 0);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(pos), n, report.begin() + 1);
        if (!handle_->SetOutputReport(report)) return false;
    }
    return true;
}

bool CUSBHumanInterfaceDevice::WriteText(std::string_view text, std::string_view suffix) {
    if (!open_) return false;
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), suffix.begin(), suffix.end());
    return WriteBytes(bytes);
}

bool CUSBHumanInterfaceDevice::ReadReport(std::vector<std::uint8_t>& payload) {
    payload.clear();
    // Without a payload byte a report could never deliver text; treat it as a failed read so
    // that readers cannot loop on empty payloads.
    if (!open_ || inputReportLength_ < 2) return false;
    std::vector<std::uint8_t> report(inputReportLength_, 0);
    report[0] = 0;
    if (!handle_->GetInputReport(report)) return false;
    payload.assign(report.begin() + 1, report.end());
    return true;
}

void CUSBHumanInterfaceDevice::Fill(HidDriver& driver, std::string path, const HidCaps& caps,
                                    HidHandle& handle) {
    driver_ = &driver;
    path_ = std::move(path);
    caps_ = caps;
    attributes_ = handle.GetAttributes().value_or(HidAttributes{});
    vendorId_ = attributes_.vendorId;
    productId_ = attributes_.productId;
    version_ = attributes_.versionNumber;
    const auto text = [](std::optional<std::wstring> s) {
        return s ? NarrowHidString(*s) : HidString("N/A");
    };
    manufacturer_ = text(handle.GetManufacturerString());
    product_ = text(handle.GetProductString());
    serial_ = text(handle.GetSerialNumberString());
    inputReportLength_ = caps.inputReportByteLength;
    outputReportLength_ = caps.outputReportByteLength;
}

void CUSBHIDSerialStringWriter::queuePayload(const std::vector<std::uint8_t>& payload) {
    for (const std::uint8_t b : payload) {
        queue_.push_back(b);
        if (b == 0) break;
    }
}

std::size_t CUSBHIDSerialStringWriter::ReadText(char* destination, std::size_t maximum) {
    if (!IsOpen() || maximum < 1 || destination == nullptr) return 0;
    std::size_t count = 0;
    bool zeroReturned = false;
    std::vector<std::uint8_t> payload;
    while (count < maximum && !zeroReturned) {
        if (!queue_.empty()) {
            const std::uint8_t b = queue_.front();
            queue_.pop_front();
            destination[count++] = static_cast<char>(b);
            zeroReturned = b == 0;
        } else {
            if (!ReadReport(payload)) break;
            queuePayload(payload);
        }
    }
    // A text cut at the maximum: queue its continuation for the next call.
    if (!zeroReturned && (queue_.empty() || queue_.back() != 0)) {
        if (ReadReport(payload)) queuePayload(payload);
    }
    return count;
}

bool USBHIDEnumProductStringFilter::Accept(HidHandle* handle) {
    if (!USBHIDEnumFilter::Accept(handle)) return false;
    const auto product = handle->GetProductString();
    return product && NarrowHidString(*product) == product_;
}

int EnumerateDevices(HidDriver& driver, std::span<CUSBHIDSerialStringWriter> devices, int maximum,
                     USBHIDEnumFilter* filter) {
    if (devices.empty() || maximum < 1) return 0;
    const std::size_t limit = std::min(devices.size(), static_cast<std::size_t>(maximum));
    std::size_t stored = 0;
    for (std::string& path : driver.InterfacePaths()) {
        if (stored >= limit) break;
        const std::unique_ptr<HidHandle> handle = driver.OpenPath(path, HidAccess::Query);
        if (!handle) continue;
        const std::optional<HidCaps> caps = handle->GetCaps();
        if (!caps) continue;
        if (filter != nullptr && !filter->Accept(handle.get())) continue;
        devices[stored++].Fill(driver, std::move(path), *caps, *handle);
    }
    return static_cast<int>(stored);
}

}  // namespace vm
