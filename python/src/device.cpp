#include "python/src/device.h"

#include <cmath>
#include <utility>

#include "link/ftdi_com.h"
#include "link/ftdi_driver.h"
#include "link/hid_com.h"
#include "link/hid_device.h"
#include "link/hid_driver.h"
#include "link/link_settings.h"
#include "link/pipe_com.h"
#include "link/tcp_com.h"
#include "python/src/simulator.h"
#include "python/src/text.h"
#include "sim/sim_link.h"

namespace vm::py {

namespace {

thread_local std::vector<ExchangeRecord> threadLog;

// Exchanges noted per thread and call at most; a call that makes more (a stop loop makes 10)
// keeps the latest.
constexpr std::size_t kThreadLogLimit = 1000;

std::string WithoutLineEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    return std::string(text);
}

std::string Label(int m, int c) {
    std::string label = std::to_string(m);
    label += static_cast<char>('A' + c - 1);
    return label;
}

void CheckModule(int m) {
    if (m < 1 || m > 6) throw std::invalid_argument("module is 1 to 6");
}

void CheckChannel(int m, int c) {
    CheckModule(m);
    if (c < 1 || c > 3) throw std::invalid_argument("channel is 1 to 3");
}

void CheckRange(const char* what, int value, int low, int high) {
    if (value < low || value > high)
        throw std::invalid_argument(std::string(what) + " must be " + std::to_string(low) + " to " +
                                    std::to_string(high));
}

// A selector word names a pipe server when it is the keyword, alone or followed by ":NAME".
bool IsPipeKeyword(std::string_view word, std::string_view keyword) {
    return word.substr(0, keyword.size()) == keyword &&
           (word.size() == keyword.size() || word[keyword.size()] == ':');
}

constexpr std::string_view kDefaultPipeName = "SamplePipe";

}  // namespace

RecordingLink::RecordingLink(const LinkContext& context, std::unique_ptr<COM_METHOD> inner)
    : COM_METHOD(context), inner_(std::move(inner)) {}

int RecordingLink::Exchange() {
    inner_->command().assign(command().view());
    const std::int64_t start = clock().nowUs();
    const int result = inner_->Exchange();
    const std::int64_t took = clock().nowUs() - start;
    reply().assign(inner_->reply().view());
    last_ = {FromWire(WithoutLineEnd(command().view())), FromWire(WithoutLineEnd(reply().view())), result,
             took};
    ++exchanges_;
    if (threadLog.size() >= kThreadLogLimit) threadLog.erase(threadLog.begin());
    threadLog.push_back(last_);
    return result;
}

void RecordingLink::ClearThreadLog() { threadLog.clear(); }

std::vector<ExchangeRecord> RecordingLink::TakeThreadLog() { return std::exchange(threadLog, {}); }

Device::Device(std::unique_ptr<Clock> ownClock, Clock& clock, std::shared_ptr<Simulator> simulator)
    : ownClock_(std::move(ownClock)),
      clock_(clock),
      simulator_(std::move(simulator)),
      context_{LinkSettings::desktop(), clock_, out_},
      current_(clock_),
      originUs_(clock_.nowUs()) {}

Device::~Device() { close(); }

void Device::install(std::unique_ptr<COM_METHOD> link, std::string description) {
    auto recording = std::make_unique<RecordingLink>(context_, std::move(link));
    link_ = recording.get();
    current_.replace(std::move(recording));
    description_ = std::move(description);
    closed_ = false;
}

std::unique_ptr<Device> Device::Connect(const std::optional<std::string>& selector, int port) {
    auto clock = std::make_unique<SteadyClock>();
    Clock& c = *clock;
    std::unique_ptr<Device> device(new Device(std::move(clock), c, nullptr));
    const LinkContext& context = device->context_;
    std::shared_ptr<FtdiDriver> ftdi;
    std::shared_ptr<HidDeviceArray> hid;
    auto tryFtdi = [&](const std::string* name) -> std::unique_ptr<COM_METHOD> {
        if (!ftdi) ftdi = MakeLibFtdiDriver();
        auto link = std::make_unique<FTDI_COM>(context, ftdi);
        return (name ? link->Open(*name) : link->OpenDefault()) ? std::move(link) : nullptr;
    };
    auto tryHid = [&](const std::string* name) -> std::unique_ptr<COM_METHOD> {
        if (!hid) hid = std::make_shared<HidDeviceArray>(MakeHidapiDriver());
        auto link = std::make_unique<HID_COM>(context, hid);
        return (name ? link->Open(*name) : link->OpenDefault()) ? std::move(link) : nullptr;
    };

    if (!selector) {
        if (auto link = tryFtdi(nullptr)) {
            device->install(std::move(link), "USB (FTDI)");
        } else if (auto hidLink = tryHid(nullptr)) {
            device->install(std::move(hidLink), "USB (HID)");
        } else {
            throw LinkFailure("no USB controller found");
        }
        return device;
    }
    const std::string& name = *selector;
    if (name.empty() || name.size() >= COM_METHOD::kSelectorSize || name.find('\0') != std::string::npos)
        throw std::invalid_argument("a selector is 1 to 29 characters");
    if (port != 0 && CountDots(name) != 3)
        throw std::invalid_argument("a port goes with an IPv4 address only");
    for (const std::string_view keyword : {"SERV", "CMON"}) {
        if (!IsPipeKeyword(name, keyword)) continue;
        const auto colon = name.find(':');
        const std::string pipe =
            colon == std::string::npos ? std::string(kDefaultPipeName) : name.substr(colon + 1);
        auto link = std::make_unique<PIPE_COM>(context);
        if (!link->Open(pipe)) throw LinkFailure("cannot open the reply endpoint of pipe " + pipe);
        device->install(std::move(link), "pipe " + pipe);
        return device;
    }
    if (port != 0 && (port < 1 || port > 65535)) throw std::invalid_argument("port is 1 to 65535");
    if (CountDots(name) == 3) {
        // An address needs no USB look-up first: a serial number or HID string never has three dots
        // in practice, and the USB enumeration costs time on every connect.
        LanPorts ports = LanPorts::FromEnvironment();
        if (port != 0) ports.command = static_cast<std::uint16_t>(port);
        auto link = std::make_unique<TCP_COM>(context, ports);
        if (!link->Open(name)) throw LinkFailure("not an IPv4 address: " + name);
        device->install(std::move(link), name + ":" + std::to_string(ports.command));
        return device;
    }
    if (auto link = tryFtdi(&name)) {
        device->install(std::move(link), "USB (FTDI) " + name);
    } else if (auto hidLink = tryHid(&name)) {
        device->install(std::move(hidLink), "USB (HID) " + name);
    } else {
        throw LinkFailure("no controller with the selector " + name);
    }
    return device;
}

std::unique_ptr<Device> Device::ConnectSimulator(std::shared_ptr<Simulator> simulator) {
    Clock& clock = simulator->clock();
    std::unique_ptr<Device> device(new Device(nullptr, clock, simulator));
    auto link = std::make_unique<sim::SimLink>(device->context_, simulator->controller());
    link->OpenDefault();
    device->install(std::move(link), "simulator " + simulator->rack());
    return device;
}

void Device::close() {
    closed_ = true;
    auto hold = current_.hold();
    current_.replace(nullptr);
    link_ = nullptr;
}

void Device::requireLink() {
    if (!link_) throw LinkFailure("the link is closed");
}

template <class Fn>
auto Device::locked(Fn&& fn) {
    auto hold = current_.hold();
    RecordingLink::ClearThreadLog();
    requireLink();
    exchangesAtStart_ = link_->exchanges();
    out_.take();
    return fn();
}

void Device::fail(const std::string& what) {
    if (!link_) throw LinkFailure("the link is closed");
    if (link_->exchanges() == exchangesAtStart_) throw std::invalid_argument(what);
    const ExchangeRecord& last = link_->last();
    // Nothing at all within the link's wait is a silent controller, not a refusal: some links
    // report it as success with an empty reply.
    if (last.result != 0 || last.reply.empty()) {
        std::string text = what + ": no reply to \"" + last.line + "\" (link result " +
                           std::to_string(last.result) + (last.result == 0 ? ", empty reply)" : ")");
        const std::string messages = WithoutLineEnd(out_.take());
        if (!messages.empty()) text += ": " + messages;
        throw LinkFailure(text);
    }
    throw Refused(what + ": \"" + last.line + "\" answered \"" + last.reply + "\"", last.line, last.reply);
}

std::tuple<std::string, std::vector<SlotInfo>> Device::scan() {
    return locked([&] {
        if (pci_.ScanSlots()) fail("slot scan");
        if (pci_.ReadModuleMap()) fail("module map");
        const gui::SlotKinds kinds = pci_.slotKinds();
        std::vector<SlotInfo> slots;
        for (int s = 1; s <= 6; ++s) {
            static const char* const kNames[] = {"empty", "drive", "encoder", "sensor"};
            const gui::SlotKind kind = kinds[static_cast<std::size_t>(s - 1)];
            int channels = 0;
            // A drive module counts as found when it answers its status, as in the desktop's scan.
            if (pci_.HasDriveModule(static_cast<std::uint8_t>(s)) &&
                !vmdm_.Status(static_cast<std::uint8_t>(s))) {
                vmdm_.ReadDescriptor(static_cast<std::uint8_t>(s));
                channels = vmdm_.descriptor();
            }
            const bool encoder = channels > 0 && pci_.HasEncoderModule(static_cast<std::uint8_t>(s));
            slots.emplace_back(s, kNames[static_cast<int>(kind)], channels, encoder);
        }
        const char letter = pci_.configuration();
        return std::make_tuple(letter ? FromWire(std::string_view(&letter, 1)) : std::string(),
                               std::move(slots));
    });
}

void Device::ping() {
    locked([&] {
        if (pci_.ScanSlots()) fail("ping");
    });
}

bool Device::hasEncoder(int m) {
    CheckModule(m);
    return pci_.HasEncoderModule(static_cast<std::uint8_t>(m));
}

ChannelTuple Device::loadChannel(int m, int c) {
    CheckChannel(m, c);
    return locked([&] {
        if (pci_.LoadChannel(static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(c)))
            fail("user memory " + std::to_string(3 * m + c - 3));
        const gui::ChannelRecord r = pci_.channelRecord();
        return ChannelTuple{r.frequency, r.stepSize,   r.temperature,           r.paramB,
                            r.paramA,    r.invertFlag, FromWire(r.type.view()), FromWire(r.tag.view())};
    });
}

void Device::storeChannel(int index, const ChannelTuple& record) {
    CheckRange("user-memory index", index, 1, 18);
    const auto& [frequency, stepSize, temperature, paramB, paramA, invert, typeText, tagText] = record;
    const std::string type = ToWire(typeText);
    const std::string tag = ToWire(tagText);
    for (const auto& [what, value] : {std::pair{"frequency", frequency},
                                      {"step size", stepSize},
                                      {"temperature", temperature},
                                      {"paramB", paramB},
                                      {"paramA", paramA},
                                      {"invert flag", invert}})
        CheckRange(what, value, 0, 65535);
    for (const auto& [what, text] : {std::pair{"type", &type}, {"tag", &tag}}) {
        if (text->empty() || text->size() > 8 || text->find_first_of(" \r\n") != std::string::npos ||
            text->find('\0') != std::string::npos)
            throw std::invalid_argument(std::string(what) + " must be 1 to 8 characters without blanks");
    }
    locked([&] {
        gui::ChannelRecord r;
        r.frequency = static_cast<std::uint16_t>(frequency);
        r.stepSize = static_cast<std::uint16_t>(stepSize);
        r.temperature = static_cast<std::uint16_t>(temperature);
        r.paramB = static_cast<std::uint16_t>(paramB);
        r.paramA = static_cast<std::uint16_t>(paramA);
        r.invertFlag = static_cast<std::uint16_t>(invert);
        r.type.assign(type);
        r.tag.assign(tag);
        pci_.setChannelRecord(r);
        if (pci_.StoreChannel(static_cast<unsigned>(index))) fail("user memory " + std::to_string(index));
    });
}

void Device::commit() {
    locked([&] {
        if (pci_.CommitChannels()) fail("commit user memory");
    });
}

void Device::startMove(int m, int c, const std::string& type, int temperature, int direction, int frequency,
                       int stepSize, int steps) {
    CheckChannel(m, c);
    CheckRange("temperature", temperature, 0, 65535);
    CheckRange("direction", direction, 0, 1);
    CheckRange("frequency", frequency, 0, 65535);
    CheckRange("step size", stepSize, 0, 100);
    CheckRange("steps", steps, 0, 65535);
    if (!vmdm_.RiseTime(type, static_cast<std::uint16_t>(temperature), static_cast<std::uint8_t>(stepSize)))
        throw std::invalid_argument("unknown type \"" + type + "\"");
    locked([&] {
        const auto mm = static_cast<std::uint8_t>(m);
        const auto cc = static_cast<std::uint8_t>(c);
        if (pci_.HasEncoderModule(mm) && (direction == 1 ? oem_.CountUp(mm, cc) : oem_.CountDown(mm, cc)))
            fail("encoder counter of " + Label(m, c));
        if (vmdm_.Move(mm, cc, type, static_cast<std::uint16_t>(temperature),
                       static_cast<std::uint8_t>(direction), static_cast<std::uint16_t>(frequency),
                       static_cast<std::uint8_t>(stepSize), static_cast<std::uint16_t>(steps)))
            fail("move " + Label(m, c));
    });
}

PollResult Device::poll(int m, int c) {
    CheckChannel(m, c);
    RecordingLink::ClearThreadLog();
    clock_.sleepMs(kPollMs);
    return locked([&] {
        const auto mm = static_cast<std::uint8_t>(m);
        std::optional<std::int64_t> count;
        if (pci_.HasEncoderModule(mm)) {
            if (oem_.GetCounter(mm, static_cast<std::uint8_t>(c))) fail("counter of " + Label(m, c));
            count = oem_.count();
        }
        if (vmdm_.Status(mm)) fail("status of module " + std::to_string(m));
        return PollResult{FromWire(vmdm_.status()), count};
    });
}

std::optional<std::int64_t> Device::stop(int m, int c) {
    CheckChannel(m, c);
    const auto mm = static_cast<std::uint8_t>(m);
    RecordingLink::ClearThreadLog();
    // The lock is taken per stop, so other axes keep their turn while this loop waits.
    for (int attempt = 1;; ++attempt) {
        auto hold = current_.hold();
        requireLink();
        exchangesAtStart_ = link_->exchanges();
        // A failed exchange leaves the status field as it was, so only a stop that went through counts.
        if (!vmdm_.Stop(mm) && vmdm_.status() == "_STP") {
            std::optional<std::int64_t> count;
            if (pci_.HasEncoderModule(mm) && !oem_.GetCounter(mm, static_cast<std::uint8_t>(c)))
                count = oem_.count();
            return count;
        }
        if (attempt == kStopAttempts) fail("stop module " + std::to_string(m));
        hold.unlock();
        clock_.sleepMs(kPollMs);
    }
}

std::string Device::status(int m) {
    CheckModule(m);
    return locked([&] {
        if (vmdm_.Status(static_cast<std::uint8_t>(m))) fail("status of module " + std::to_string(m));
        return FromWire(vmdm_.status());
    });
}

std::optional<std::int64_t> Device::counter(int m, int c) {
    CheckChannel(m, c);
    return locked([&]() -> std::optional<std::int64_t> {
        const auto mm = static_cast<std::uint8_t>(m);
        if (!pci_.HasEncoderModule(mm)) return std::nullopt;
        if (oem_.GetCounter(mm, static_cast<std::uint8_t>(c))) fail("counter of " + Label(m, c));
        return oem_.count();
    });
}

void Device::zeroCounter(int m, int c) {
    CheckChannel(m, c);
    locked([&] {
        const auto mm = static_cast<std::uint8_t>(m);
        if (!pci_.HasEncoderModule(mm))
            throw std::invalid_argument("no encoder module serves module " + std::to_string(m));
        if (oem_.ZeroCounter(mm, static_cast<std::uint8_t>(c))) fail("zero counter of " + Label(m, c));
    });
}

int Device::failsafe(int m) {
    CheckModule(m);
    return locked([&] {
        if (vmdm_.ReadFailsafe(static_cast<std::uint8_t>(m)))
            fail("failsafe state of module " + std::to_string(m));
        return static_cast<int>(vmdm_.failsafe());
    });
}

int Device::descriptor(int m) {
    CheckModule(m);
    return locked([&] {
        if (vmdm_.ReadDescriptor(static_cast<std::uint8_t>(m)))
            fail("descriptor of module " + std::to_string(m));
        return static_cast<int>(vmdm_.descriptor());
    });
}

std::string Device::exchange(const std::string& text) {
    const std::string line = ToWire(text);
    if (line.size() > gui::CurrentLink::kMaxLineLength)
        throw std::invalid_argument("a line is at most " + std::to_string(gui::CurrentLink::kMaxLineLength) +
                                    " characters");
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw std::invalid_argument("a line holds no carriage return, line feed or zero byte");
    return locked([&] {
        gui::LineReply reply = current_.exchangeLine(line);
        if (reply.failed || reply.text.empty()) fail("exchange");
        return FromWire(reply.text);
    });
}

double Device::nowMs() const { return static_cast<double>(clock_.nowUs() - originUs_) / 1000.0; }

void Device::sleepMs(double ms) {
    if (!(ms >= 0)) throw std::invalid_argument("a sleep is 0 ms or longer");
    clock_.sleepMs(static_cast<std::uint32_t>(std::ceil(std::min(ms, 4.0e9))));
}

std::optional<int> Device::riseTime(const std::string& type, int temperature, int stepSize) const {
    CheckRange("temperature", temperature, 0, 65535);
    CheckRange("step size", stepSize, 0, 100);
    const auto value =
        vmdm_.RiseTime(type, static_cast<std::uint16_t>(temperature), static_cast<std::uint8_t>(stepSize));
    return value ? std::optional<int>(*value) : std::nullopt;
}

std::vector<std::tuple<std::string, int, int, int>> Device::profiles() const {
    std::vector<std::tuple<std::string, int, int, int>> table;
    for (const auto& p : vmdm_.profiles())
        table.emplace_back(p.name.str(), p.paramA, p.paramB, p.invertDirection);
    return table;
}

}  // namespace vm::py
