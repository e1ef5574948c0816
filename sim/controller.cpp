#include "sim/controller.h"

#include <cstdio>
#include <filesystem>

#include "sim/model.h"
#include "sim/state_file.h"

namespace vm::sim {

namespace {

bool Matches(const FaultRule& rule, std::string_view line) {
    if (!rule.active()) return false;
    if (rule.word.empty()) return true;
    return Request(line).word() == rule.word;
}

// Garbles the text but keeps its carriage return, so a link sees a complete line of junk.
std::string Corrupt(std::string text) {
    for (char& c : text) {
        if (c == '\r') continue;
        c = static_cast<char>(((static_cast<unsigned char>(c) * 7 + 3) % 94) + 33);
    }
    return text;
}

}  // namespace

Controller::Controller(Clock& clock, RackConfig rack)
    : clock_(clock), model_(std::make_unique<Model>(rack)), commands_(std::make_unique<CommandTable>()) {
    RegisterCommands(*commands_);
    model_->nowUs = clock_.nowUs();
}

Controller::~Controller() = default;

void Controller::advanceLocked() { model_->advance(clock_.nowUs()); }

std::string Controller::dispatchLocked(std::string_view line) {
    const Request request(line);
    const auto* handler = commands_->find(request.word());
    if (handler == nullptr) return kCannotRead;
    return (*handler)(*model_, request);
}

Reply Controller::Respond(std::string_view commandLine) {
    std::lock_guard lock(mutex_);
    advanceLocked();
    transcript_.push_back({model_->nowUs, std::string(commandLine)});
    if (transcript_.size() > kTranscriptLimit) transcript_.pop_front();
    if (observer_) observer_(transcript_.back());

    const FaultRule* applied = nullptr;
    for (auto& rule : faults_) {
        if (!Matches(rule, commandLine)) continue;
        if (rule.count > 0) --rule.count;
        applied = &rule;
        break;
    }
    // A pulled module is gone before the line reaches the rack, so this line already finds the
    // slot empty.
    if (applied != nullptr && applied->fault == Fault::Eject)
        model_->slots[static_cast<std::size_t>(applied->slot - 1)].kind = ModuleKind::Empty;

    Reply reply;
    reply.text = dispatchLocked(commandLine);
    if (applied == nullptr) return reply;
    reply.fault = applied->fault;
    reply.delayMs = applied->delayMs;
    reply.splitAt = applied->splitAt;
    switch (applied->fault) {
        case Fault::NoReply:
        case Fault::CloseWithoutReply:
            reply.text.clear();
            break;
        case Fault::NoCarriageReturn:
        case Fault::Endless:
            if (!reply.text.empty() && reply.text.back() == '\r') reply.text.pop_back();
            break;
        case Fault::Corrupt:
            reply.text = Corrupt(reply.text);
            break;
        case Fault::Garbage:
            reply.text = GarbageBytes(applied->length) + "\r";
            break;
        case Fault::Answer:
            reply.text = applied->text + "\r";
            break;
        case Fault::None:
        case Fault::Delay:
        case Fault::Split:
        case Fault::Eject:
            break;
    }
    return reply;
}

std::string Controller::Process(std::string_view commandLine) {
    Reply reply = Respond(commandLine);
    if (reply.fault == Fault::Delay) clock_.sleepMs(reply.delayMs);
    return std::move(reply.text);
}

void Controller::addFault(FaultRule rule) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(rule));
}

void Controller::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<TranscriptEntry> Controller::transcript() const {
    std::lock_guard lock(mutex_);
    return {transcript_.begin(), transcript_.end()};
}

std::vector<std::string> Controller::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> all;
    for (const auto& entry : transcript_) all.push_back(entry.line);
    return all;
}

void Controller::clearTranscript() {
    std::lock_guard lock(mutex_);
    transcript_.clear();
}

void Controller::setLineObserver(std::function<void(const TranscriptEntry&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

bool Controller::useStateFile(const std::string& path, std::string* error) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !LoadState(*model_, path, error)) return false;
    model_->persist = [path](const Model& model) {
        if (SaveState(model, path)) return true;
        std::fprintf(stderr, "vmsim: cannot write the state file %s; the command is answered CNR\n",
                     path.c_str());
        return false;
    };
    return true;
}

}  // namespace vm::sim
