#include "link/hid_com.h"

#include <array>
#include <utility>

namespace vm {

namespace {

constexpr std::size_t kTableEntryLength = COM_METHOD::DeviceEntry::kMaxLength;

}  // namespace

HID_COM::HID_COM(const LinkContext& context, std::shared_ptr<HidDeviceArray> devices)
    : COM_METHOD(context), devices_(std::move(devices)) {}

HID_COM::~HID_COM() {
    if (opened_ != nullptr && opened_->IsOpen()) opened_->CloseDevice();
}

int HID_COM::enumerate() {
    if (!devices_ || !devices_->driver) return 0;
    USBHIDEnumProductStringFilter filter(kHidProduct);
    return EnumerateDevices(*devices_->driver, devices_->devices, static_cast<int>(HidDeviceArray::kCount),
                            &filter);
}

// In slot order over all ten objects (later slots keep what an earlier enumeration stored):
// each match becomes the current device and is opened; the first that opens wins.
template <typename Match>
bool HID_COM::openFirst(Match match) {
    if (!devices_) return false;
    enumerate();
    for (CUSBHIDSerialStringWriter& device : devices_->devices) {
        if (!match(device)) continue;
        devices_->current = &device;
        device.OpenDevice();
        if (device.IsOpen()) {
            opened_ = &device;
            return true;
        }
        device.CloseDevice();
    }
    return false;
}

bool HID_COM::OpenDefault() {
    return openFirst([](const CUSBHIDSerialStringWriter& d) { return d.product() == kHidProduct; });
}

bool HID_COM::Open(std::string_view serial) {
    if (serial.size() <= 1) return false;
    return openFirst([serial](const CUSBHIDSerialStringWriter& d) {
        const std::string_view own = d.serial().view();
        if (own == serial) return true;
        return serial.size() == kTableEntryLength && own.size() > kTableEntryLength &&
               own.starts_with(serial);
    });
}

void HID_COM::Close() {
    if (!devices_ || devices_->current == nullptr) return;
    if (devices_->current->IsOpen()) devices_->current->CloseDevice();
}

int HID_COM::Exchange() {
    const bool commandLine = settings().hidDiscardLeftover;
    if (settings().clearReplyOnFailure) reply().raw()[0] = '\0';
    CUSBHIDSerialStringWriter* device = devices_ ? devices_->current : nullptr;
    if (device == nullptr) return 1;
    if (!device->IsOpen()) return 2;

    std::array<char, kChunkSize> chunk{};
    std::int64_t start = clock().nowUs();
    // Text left over from an earlier reply (cut at 64 characters) is read and dropped.
    if (commandLine) device->ReadText(chunk.data(), chunk.size());

    // The command ends with its own carriage return; the device gets it, another carriage
    // return and a line feed. A failed report is not judged: the reply wait decides.
    device->WriteText(command().view(), "\r\n");

    if (!commandLine) {
        chunk.fill('\0');
        start = clock().nowUs();
    }
    std::size_t count = 0;
    for (;;) {
        // Judged on what this read returned, so text dropped above cannot end the wait.
        count = device->ReadText(chunk.data(), chunk.size());
        if (count > 0 && chunk[0] != '\0') break;
        if (clock().nowUs() - start >= kReplyWaitUs) break;
        clock().sleepMs(kPollPauseMs);
    }

    // The reply is the text up to and including its carriage return, or up to its zero byte.
    // It always replaces the old content: when every read failed the reply is empty rather than
    // a stale one that would be judged as fresh.
    std::string_view text(chunk.data(), count);
    if (const auto zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
    if (const auto cr = text.find('\r'); cr != std::string_view::npos) text = text.substr(0, cr + 1);
    reply().assign(text);
    return 0;
}

std::string HID_COM::listedSerial(std::size_t slot) const {
    if (slot >= listed_) return {};
    const CUSBHIDSerialStringWriter& device = devices_->devices[slot];
    return device.product() == kHidProduct ? device.serial().str() : std::string();
}

int HID_COM::ListDevices() {
    const int found = enumerate();
    listed_ = static_cast<std::size_t>(found);
    if (found == 0) return 0;
    out().write("List of available devices:\n");
    std::size_t nextEntry = 0;
    for (int slot = 0; slot < found; ++slot) {
        const CUSBHIDSerialStringWriter& device = devices_->devices[static_cast<std::size_t>(slot)];
        if (device.product() != kHidProduct) continue;
        out().print("\t%d) %s (%s)\n", slot, device.product().c_str(), device.serial().c_str());
        // A serial string longer than 15 characters keeps its first 15 in the table.
        if (settings().hidListingFillsTable && nextEntry < devices().size())
            devices()[nextEntry++].assign(device.serial().view());
    }
    return 1;
}

}  // namespace vm
