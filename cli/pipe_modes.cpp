#include "cli/pipe_modes.h"

#include <poll.h>
#include <signal.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "link/ftdi_com.h"
#include "link/hid_com.h"
#include "link/pipe_endpoint.h"

namespace vm::cli {

namespace {

// A client that connected must have sent its whole command and closed its side within this
// time; one that has not is dropped, so a stuck client cannot hold the server. A real client
// writes right after connecting, and other clients give up on a busy server after about a
// second, so this stays well below that.
constexpr std::uint32_t kRequestReadMs = 500;
// After the reply the client closes its request; the server waits this long for that before
// it serves the next one, so a reply can never be taken for another client's.
constexpr std::uint32_t kClientCloseMs = 1000;
// How often the wait for a client looks at whether serving should go on.
constexpr std::uint32_t kIdleSliceMs = 100;
// Listen queue length 0: Linux then keeps one client waiting besides the one being served, and
// the rest retry their connection as they would for a busy pipe.
constexpr int kRequestBacklog = 0;
constexpr std::size_t kMaxTimeLength = 25;

constexpr std::string_view kHeader =
    "TRANSMITTED:               | RECEIVED:                            | RT ms| REC.HEX";
constexpr int kRowFirst = 3;
constexpr int kRowWrap = 45;

// While a server runs, SIGTERM and SIGINT (`kill`, Ctrl-C) remove its socket file before the
// process ends of the signal, so no stale endpoint is left in the directory. A signal that was
// ignored when the server started (SIGINT of a background job) stays ignored. The handlers are
// in place before the socket is made: a signal that comes before its path is known (on any
// thread) is kept and takes effect once it is.
class RemoveOnSignal {
  public:
    RemoveOnSignal() {
        pending_.store(0);
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action {};
            action.sa_handler = &Handle;
            ::sigemptyset(&action.sa_mask);
            installed_[i] = ::sigaction(kSignals[i], nullptr, &previous_[i]) == 0 &&
                            previous_[i].sa_handler != SIG_IGN &&
                            ::sigaction(kSignals[i], &action, nullptr) == 0;
        }
    }
    ~RemoveOnSignal() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i)
            if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
        path_[0] = '\0';
    }
    RemoveOnSignal(const RemoveOnSignal&) = delete;
    RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;

    // The socket file to remove (none when empty); a signal kept until now takes effect.
    void cover(const std::string& path) {
        if (path.size() < sizeof path_) std::memcpy(path_, path.c_str(), path.size() + 1);
        const int kept = pending_.exchange(kArmed);
        if (kept > 0) End(kept);
    }

  private:
    static constexpr int kSignals[] = {SIGTERM, SIGINT};
    static constexpr int kArmed = -1;

    // Only async-signal-safe calls (the atomic is lock-free).
    static void Handle(int signal) {
        int arming = 0;
        if (pending_.compare_exchange_strong(arming, signal)) return;  // the path is not known yet
        End(signal);
    }
    // The signal is blocked while a handler runs, so the raise takes effect, with the default
    // action, when the handler returns.
    static void End(int signal) {
        if (path_[0] != '\0') ::unlink(path_);
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }

    static_assert(std::atomic<int>::is_always_lock_free);
    static inline std::atomic<int> pending_{0};  // 0 arming, a signal kept, or kArmed
    static inline char path_[sizeof(sockaddr_un::sun_path)] = {};
    struct sigaction previous_[std::size(kSignals)]{};
    bool installed_[std::size(kSignals)] = {};
};

// Without a system no process is started and the loops run until the process ends.
class NoSystem final : public System {
  public:
    std::string ownBaseName() override { return {}; }
    int countProcesses(std::string_view) override { return 0; }
    bool startProcess(std::string_view, const std::vector<std::string>&) override { return false; }
    std::string localTime() override { return RealSystem().localTime(); }
};

// The serial number that the listing just printed under the device number: the FTDI record at
// that index of the whole list, or the HID device in that slot. Empty for a number the listing
// did not print.
std::string ListedSerial(const COM_METHOD& link, long number) {
    if (number < 0) return {};
    const auto index = static_cast<std::size_t>(number);
    if (const auto* ftdi = dynamic_cast<const FTDI_COM*>(&link)) return ftdi->listedSerial(index);
    if (const auto* hid = dynamic_cast<const HID_COM*>(&link)) return hid->listedSerial(index);
    return {};
}

// The device the pipe name names, or the one at the device number for "SamplePipe".
class DeviceChoice {
  public:
    DeviceChoice(Environment& env, Session& session, const Words& words, std::string_view pipeName)
        : env_(env),
          session_(session),
          words_(words),
          name_(pipeName),
          byNumber_(pipeName == kDefaultPipeName),
          context_{LinkSettings::commandLine(), env.clock, env.console} {}

    bool open() {
        bool usbOpen = false;
        if (auto ftdi = env_.links.create(LinkKind::Ftdi, context_); ftdi && ftdi->ListDevices() != 0)
            usbOpen = tryUsb(ftdi) || usbOpen;
        if (auto hid = env_.links.create(LinkKind::Hid, context_); hid && hid->ListDevices() > 0)
            usbOpen = tryUsb(hid) || usbOpen;
        if (!usbOpen && CountDots(name_) == 3) {
            auto lan = env_.links.create(LinkKind::Lan, context_);
            if (lan && lan->Open(name_)) {
                session_.bindExchange(lan.get());
                session_.bindClose(lan.get());
                kept_.push_back(std::move(lan));
                return true;
            }
        }
        return usbOpen;
    }

  private:
    // The device number from the second argument, or asked for: one key, a digit.
    long deviceNumber() {
        if (words_.count() >= 3) return words_.integer(2);
        env_.console.write("\n\tSelect device number: ");
        env_.console.flush();
        const auto key = env_.console.readKey();
        return key ? *key - '0' : -1;
    }

    bool tryUsb(const std::shared_ptr<COM_METHOD>& link) {
        const std::string serial = byNumber_ ? ListedSerial(*link, deviceNumber()) : std::string(name_);
        env_.console.print("\n-> Trying to open device with serial: %s\n", serial.c_str());
        // An empty serial names no device (a number past the listing, an empty pipe name).
        if (serial.empty() || !link->Open(serial)) return false;
        session_.bindExchange(link.get());
        kept_.push_back(link);
        return true;
    }

    Environment& env_;
    Session& session_;
    const Words& words_;
    std::string_view name_;
    bool byNumber_;
    LinkContext context_;
    // The opened links stay open for the life of the mode.
    std::vector<std::shared_ptr<COM_METHOD>> kept_;
};

// Control characters of a client's command or the controller's reply are shown as "." so they
// cannot move the cursor or send sequences to the terminal; the carriage return that ends a
// line stays.
std::string Printable(std::string_view text) {
    std::string shown(text);
    for (char& c : shown) {
        const auto u = static_cast<unsigned char>(c);
        if (c != '\r' && (u < 0x20 || u > 0x7e)) c = '.';
    }
    return shown;
}

class Server {
  public:
    Server(Environment& env, Session& session, System& system, std::string directory, std::string_view name,
           pipe::Endpoint endpoint)
        : env_(env),
          session_(session),
          system_(system),
          directory_(std::move(directory)),
          replyFile_(std::string(name) + std::string(pipe::kReplySuffix)),
          user_(::geteuid()),
          endpoint_(std::move(endpoint)) {}

    void serve() {
        std::uint32_t counter = 0;
        while (system_.keepServing()) {
            UniqueFd request = waitForClient();
            if (!request) continue;
            COM_METHOD& link = *session_.exchangeLink();
            if (!receive(request, link)) {
                dropped();
                continue;
            }
            session_.exchangeAgain();
            if (!push(link.reply().view())) {
                dropped();
                continue;
            }
            env_.console.print("0x%08X: ", counter++);
            std::string time = system_.localTime();
            if (time.size() > kMaxTimeLength) time.resize(kMaxTimeLength);
            env_.console.write(time);
            env_.console.write("Tranceiving");
            env_.console.write(TransactionVerdict(link.command().view(), link.reply().view()));
            env_.console.flush();
            finish(request);
        }
    }

    void monitor() {
        int row = kRowFirst;
        while (system_.keepServing()) {
            UniqueFd request = waitForClient();
            if (!request) continue;
            COM_METHOD& link = *session_.exchangeLink();
            at(1, 1);
            env_.console.write(kHeader);
            env_.console.write(std::string(67, ' '));
            at(1, 2);
            env_.console.write(std::string(27, '-') + "+" + std::string(38, '-') + "+" + std::string(6, '-') +
                               "+" + std::string(75, '-'));
            const bool received = receive(request, link);
            const std::string_view command = link.command().view();
            at(1, row);
            env_.console.write(std::string(163, ' '));
            at(1, row);
            env_.console.write(Printable(command));
            at(static_cast<int>(command.size()), row);
            env_.console.write(std::string(7, ' '));
            at(28, row);
            env_.console.write("|");
            bool pushed = false;
            std::int64_t start = 0;
            std::int64_t end = 0;
            if (received) {
                start = env_.clock.counter();
                session_.exchangeAgain();
                end = env_.clock.counter();
                at(30, row);
                pushed = push(link.reply().view());
            } else {
                at(30, row);
            }
            if (!pushed) {
                env_.console.write("Push Connection Failed\n");
            } else {
                const std::string_view reply = link.reply().view();
                env_.console.write(Printable(reply));
                at(67, row);
                env_.console.write("| ");
                at(68, row);
                const double ms = static_cast<double>(end - start) * 1000.0 /
                                  static_cast<double>(std::max<std::int64_t>(env_.clock.frequency(), 1));
                env_.console.print("%3.1f", ms);
                at(74, row);
                env_.console.write("| ");
                for (char c : reply)
                    env_.console.print("%2X", static_cast<unsigned>(static_cast<unsigned char>(c)));
                at(1, row + 1);
                env_.console.write(std::string(159, ' '));
            }
            env_.console.flush();
            if (pushed) finish(request);
            request.reset();
            if (++row == kRowWrap) {
                row = kRowFirst;
                at(1, kRowFirst);
                env_.console.write(std::string(163, ' '));
            }
        }
    }

  private:
    // Column and row counted from 1.
    void at(int column, int row) { env_.console.moveCursor(std::max(column, 1) - 1, row - 1); }

    void dropped() {
        env_.console.write("Push Connection Failed\n");
        env_.console.flush();
    }

    // Waits for the next client of this user; invalid when serving is to stop.
    UniqueFd waitForClient() {
        while (system_.keepServing()) {
            if (!pipe::WaitReady(env_.clock, endpoint_.fd(), POLLIN, kIdleSliceMs)) continue;
            UniqueFd request = pipe::AcceptPending(endpoint_.fd());
            if (!request) {
                env_.clock.sleepMs(1);  // a failed accept (out of descriptors): try again shortly
                continue;
            }
            const auto peer = pipe::PeerOf(request.get());
            if (!peer || peer->uid != user_) continue;
            return request;
        }
        return UniqueFd();
    }

    // The command buffer gets the whole command; false when the client did not finish it in
    // time or sent more than the buffer holds.
    bool receive(const UniqueFd& request, COM_METHOD& link) {
        link.reply().clear();
        link.command().clear();
        std::size_t length = 0;
        const auto result = pipe::ReadToEnd(env_.clock, request.get(), link.command().raw(),
                                            COM_METHOD::Buffer::kMaxLength, length, kRequestReadMs);
        link.command().terminate(length);
        return result == pipe::ReadResult::Complete;
    }

    // Connects to the reply endpoint and writes the reply. Whoever holds the endpoint name gets
    // it: a client that sent a request without holding the name cannot tell this side, and its
    // reply is then left unread at the holder's endpoint, which the holder knows to skip.
    bool push(std::string_view reply) {
        UniqueFd connection;
        if (pipe::ConnectEndpoint(directory_, replyFile_, connection) != pipe::ConnectResult::Connected)
            return false;
        const auto peer = pipe::PeerOf(connection.get());
        if (!peer || peer->uid != user_) return false;
        return pipe::SendAll(connection.get(), reply);
    }

    // Tells the client its reply is waiting and lets it take it before anyone else is served.
    void finish(const UniqueFd& request) {
        if (!pipe::SendAll(request.get(), std::string_view(&pipe::kReplySent, 1))) return;
        // The client's sending side is closed already; the hang-up comes when it closes the rest.
        pipe::WaitReady(env_.clock, request.get(), 0, kClientCloseMs);
    }

    Environment& env_;
    Session& session_;
    System& system_;
    std::string directory_;
    std::string replyFile_;
    // The server's user, taken once: clients and reply endpoints must belong to it.
    uid_t user_;
    pipe::Endpoint endpoint_;
};

}  // namespace

std::string_view TransactionVerdict(std::string_view command, std::string_view reply) {
    // The comparison of three characters as strncmp makes it: a shorter text ends at its
    // terminator, and both ending together counts as equal.
    bool equal = true;
    for (std::size_t i = 0; i < 3; ++i) {
        const char c = i < command.size() ? command[i] : '\0';
        const char r = i + 1 < reply.size() ? reply[i + 1] : '\0';
        if (c != r) {
            equal = false;
            break;
        }
        if (c == '\0') break;
    }
    if (equal) return " -->  ACK\n";
    if (command.substr(0, 3) == "STS") return " -->STATUS Response\n";
    return " --> nACK\n";
}

PipeModeEnd RunPipeMode(Environment& env, Session& session, const Words& words, std::string_view pipeName,
                        bool monitor) {
    NoSystem noSystem;
    System& system = env.system ? *env.system : noSystem;
    Console& console = env.console;

    if (monitor) {
        console.setSize(160, 50);
        console.setMonitorColours(true);
        console.setTitle("Brannic's Communication Monitor");
        console.write("*** VM Control System command line interface : Communication Server ***\n\n ");
    } else {
        console.setSize(75, 75);
        console.setTitle("VM Control System COM Server");
    }

    DeviceChoice devices(env, session, words, pipeName);
    if (!devices.open()) {
        console.write(" NO DEVICES FOUND\n");
        console.flush();
        env.clock.sleepMs(1000);
        return PipeModeEnd::NoDevice;
    }

    const std::string name(pipeName);
    console.print("\n-> Using Pipename: %s\n ", name.c_str());
    console.write(monitor ? "\n-> port open, wait for data...\n" : "\n-> USB port open, wait for data...\n");
    console.setTitle((monitor ? "VM Control System Communication Monitor/Server Pipename: "
                              : "VM Control System COM Server Pipename: ") +
                     name);
    console.flush();

    // A name that cannot make an endpoint, a directory that is not private, or another server
    // of the same name: the process ends.
    RemoveOnSignal removal;
    const auto directory = pipe::ValidBaseName(pipeName) ? pipe::EndpointDirectory() : std::nullopt;
    auto endpoint = directory ? pipe::Endpoint::create(*directory, name + std::string(pipe::kRequestSuffix),
                                                       kRequestBacklog)
                              : std::nullopt;
    removal.cover(endpoint ? endpoint->path() : std::string());
    if (endpoint) {
        Server server(env, session, system, *directory, pipeName, std::move(*endpoint));
        if (monitor)
            server.monitor();
        else
            server.serve();
    }
    // The links opened here go away with this frame; nothing may use them afterwards.
    session.bind(nullptr, false);
    return PipeModeEnd::EndProcess;
}

void EnsurePipeServer(Environment& env, std::string_view pipeName, bool monitor) {
    if (env.system == nullptr) return;
    System& system = *env.system;
    const std::string self = system.ownBaseName();
    if (self.empty() || system.countProcesses(self) >= 2) return;
    const std::string mode = monitor ? "CMON" : "SERV";
    std::vector<std::string> arguments;
    if (pipeName == kDefaultPipeName)
        arguments = {mode, "0"};
    else
        arguments = {mode + ":" + std::string(pipeName)};
    // Started by its own base name as it is spelled: the file system tells upper and lower case apart.
    system.startProcess(self, arguments);
    env.clock.sleepMs(2000);
}

}  // namespace vm::cli
