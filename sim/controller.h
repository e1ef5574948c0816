#pragma once
// The virtual controller: a model of the rack (front end and six slots) that answers the command
// lines the host programs send. Transports (in-process link, TCP server) hand it one command line
// at a time; time comes from the Clock, so moves progress in virtual time in tests.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "link/clock.h"
#include "sim/faults.h"
#include "sim/rack.h"

namespace vm::sim {

struct Model;
class CommandTable;

// What a transport sends back for one command line: the reply text (carriage return included
// unless a fault removed it; empty for "no reply") and the transport fault to carry out.
struct Reply {
    std::string text;
    Fault fault = Fault::None;
    std::uint32_t delayMs = 0;
    std::size_t splitAt = 0;
};

struct TranscriptEntry {
    std::int64_t timeUs;  // controller clock when the line arrived
    std::string line;     // the line as received, carriage return included
};

class Controller {
  public:
    // Transcript entries kept; older lines are dropped first so a long demo run stays bounded.
    static constexpr std::size_t kTranscriptLimit = 10000;

    Controller(Clock& clock, RackConfig rack);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // One command line (with its trailing "\r") in, the reply line with its "\r" out; empty for
    // no reply. Content faults apply; a delay fault sleeps on the clock before returning.
    std::string Process(std::string_view commandLine);
    // The same for transports that carry out transport faults themselves (no sleep here).
    Reply Respond(std::string_view commandLine);

    // Fault injection: rules are tried in order, the first matching active rule applies.
    void addFault(FaultRule rule);
    void clearFaults();

    // Every line received, with its time.
    std::vector<TranscriptEntry> transcript() const;
    std::vector<std::string> lines() const;
    void clearTranscript();
    // Called with every received line, under the controller's lock (keep it short).
    void setLineObserver(std::function<void(const TranscriptEntry&)> observer);

    // User memory and network settings persist in this file (read now when it exists, written
    // on "STF" and "IPS"). Returns false with a message when an existing file cannot be read.
    bool useStateFile(const std::string& path, std::string* error);

    // Test access to the model, under the controller's lock.
    template <typename F>
    auto inspect(F&& f) {
        std::lock_guard lock(mutex_);
        advanceLocked();
        return f(*model_);
    }

    Clock& clock() { return clock_; }

  private:
    void advanceLocked();
    std::string dispatchLocked(std::string_view line);

    Clock& clock_;
    mutable std::mutex mutex_;
    std::unique_ptr<Model> model_;
    std::unique_ptr<CommandTable> commands_;
    std::vector<FaultRule> faults_;
    std::deque<TranscriptEntry> transcript_;
    std::function<void(const TranscriptEntry&)> observer_;
};

}  // namespace vm::sim
