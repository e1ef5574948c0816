#include "link/ftdi_com.h"

#include <algorithm>
#include <utility>

namespace vm {

FTDI_COM::FTDI_COM(const LinkContext& context, std::shared_ptr<FtdiDriver> driver)
    : COM_METHOD(context), driver_(std::move(driver)) {}

FTDI_COM::~FTDI_COM() { Close(); }

bool FTDI_COM::OpenDefault() { return openWith(kFtdiDescription, FT_OPEN_BY_DESCRIPTION); }

bool FTDI_COM::Open(std::string_view serialNumber) {
    if (serialNumber.starts_with('@')) serialNumber.remove_prefix(1);
    return openWith(serialNumber, FT_OPEN_BY_SERIAL_NUMBER);
}

bool FTDI_COM::openWith(std::string_view arg, std::uint32_t flags) {
    if (!driver_) return false;
    std::unique_ptr<FtdiDevice> device;
    lastStatus_ = driver_->OpenEx(arg, flags, device);
    if (lastStatus_ != FT_OK || !device) return false;
    device_ = std::move(device);
    configureLine();
    return true;
}

// Every call's status becomes the last status; none of them decides whether the open succeeded.
// No flow control is set: the bridge keeps its default.
void FTDI_COM::configureLine() {
    lastStatus_ = device_->SetDataCharacteristics(FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    lastStatus_ = device_->SetTimeouts(kTimeoutMs, kTimeoutMs);
    lastStatus_ = device_->SetBaudRate(kBaudRate);
    lastStatus_ = device_->Purge(FT_PURGE_RX | FT_PURGE_TX);
    lastStatus_ = device_->SetChars('\r', 1, '~', 0);
    eventMode_ = 1;
    lastStatus_ = device_->SetEventNotification(FT_EVENT_RXCHAR);
}

void FTDI_COM::Close() {
    if (!device_) return;
    lastStatus_ = device_->Close();
    device_.reset();
    eventMode_ = 0;
}

bool FTDI_COM::replyComplete() const {
    const std::string_view text = reply().view();
    if (text.empty()) return false;
    const bool accepted = text[0] == '_' || (settings().ftdiAcceptM && text[0] == 'M');
    return accepted && std::count(text.begin(), text.end(), '\r') == 1;
}

int FTDI_COM::Exchange() {
    reply().clear();
    const int attempts = std::max(1, settings().ftdiAttempts);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        eventStatus_ = 0;
        reply().clear();
        if (!device_) {
            lastStatus_ = FT_INVALID_HANDLE;
            continue;
        }
        const std::string_view text = command().view();
        lastStatus_ = device_->Write(text.data(), static_cast<std::uint32_t>(text.size()), bytesWritten_);
        if (lastStatus_ == FT_OK) {
            // The wait ends as soon as characters arrive; its outcome is judged through the status.
            device_->WaitForEvent(clock(), settings().ftdiWaitMs);
            lastStatus_ = device_->GetStatus(rxQueue_, txQueue_, eventStatus_);
            if (lastStatus_ == FT_OK && eventStatus_ != 0) {
                // The terminator must fit: never more than 199 bytes into the 200-byte buffer.
                const std::uint32_t toRead = std::min<std::uint32_t>(rxQueue_, Buffer::kMaxLength);
                bytesRead_ = 0;
                lastStatus_ = device_->Read(reply().raw(), toRead, bytesRead_);
                reply().terminate(std::min(bytesRead_, toRead));
            }
        }
        if (replyComplete()) break;
    }
    return lastStatus_ == FT_OK ? 0 : 1;
}

std::string FTDI_COM::listedSerial(std::size_t index) const {
    if (index >= deviceInfo_.size() || deviceInfo_[index].description != kFtdiDescription) return {};
    return deviceInfo_[index].serialNumber.str();
}

int FTDI_COM::ListDevices() {
    const bool printing = settings().ftdiPrintListing;
    if (!driver_) return 0;
    std::uint32_t count = 0;
    lastStatus_ = driver_->CreateDeviceInfoList(count);
    if (lastStatus_ != FT_OK || count == 0) return 0;

    deviceInfo_.assign(std::min(count, kMaxListedBridges), FT_DEVICE_LIST_INFO_NODE{});
    std::uint32_t filled = 0;
    lastStatus_ = driver_->GetDeviceInfoList(deviceInfo_, filled);
    out().write("List of available devices:\n");
    if (lastStatus_ != FT_OK) {
        deviceInfo_.clear();
        return printing ? 1 : 0;
    }
    deviceInfo_.resize(std::min<std::size_t>(filled, deviceInfo_.size()));

    bool matched = false;
    std::size_t nextEntry = 0;
    for (std::size_t i = 0; i < deviceInfo_.size(); ++i) {
        const FT_DEVICE_LIST_INFO_NODE& node = deviceInfo_[i];
        if (node.description != kFtdiDescription) continue;
        matched = true;
        if (printing) {
            out().print("\t%d) %s (%s)\n", static_cast<int>(i), node.description.c_str(),
                        node.serialNumber.c_str());
        } else if (nextEntry < devices().size()) {
            // The device table has ten entries; further matching bridges are not recorded.
            devices()[nextEntry++].assign(node.serialNumber.view());
        }
    }
    return printing || matched ? 1 : 0;
}

}  // namespace vm
