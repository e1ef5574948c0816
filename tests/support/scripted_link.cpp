#include "tests/support/scripted_link.h"

#include <gtest/gtest.h>

namespace vm::test {

const LinkContext& TestLinkContext() {
    static VirtualClock clock;
    static StringTextOut out;
    static const LinkContext context{LinkSettings::commandLine(), clock, out};
    return context;
}

ScriptedLink::ScriptedLink(const LinkContext& context) : COM_METHOD(context) {}

ScriptedLink::ScriptedLink(std::initializer_list<ScriptStep> steps, const LinkContext& context)
    : COM_METHOD(context), steps_(steps) {}

ScriptedLink::~ScriptedLink() {
    if (!allowLeftover && !answerAll_ && next_ < steps_.size())
        ADD_FAILURE() << "scripted link: " << steps_.size() - next_ << " expected line(s) never sent, first: "
                      << ::testing::PrintToString(steps_[next_].expected);
}

ScriptedLink& ScriptedLink::expect(std::string line, std::string reply, int result) {
    steps_.push_back({std::move(line), std::move(reply), result});
    return *this;
}

void ScriptedLink::answerEverything(std::string reply, int result) {
    answerAll_ = true;
    everything_ = {"*", std::move(reply), result};
}

bool ScriptedLink::OpenDefault() {
    opened_.emplace_back("<default>");
    return openResult;
}

bool ScriptedLink::Open(std::string_view name) {
    opened_.emplace_back(name);
    return openResult;
}

int ScriptedLink::Exchange() {
    const std::string line = command().str();
    sent_.push_back(line);
    if (clearCommandAfterExchange) command().clear();
    const ScriptStep* step = nullptr;
    if (next_ < steps_.size()) {
        step = &steps_[next_++];
    } else if (answerAll_) {
        step = &everything_;
    } else {
        ADD_FAILURE() << "scripted link: unexpected line " << ::testing::PrintToString(line);
        reply().clear();
        return 1;
    }
    if (step->expected != "*") {
        EXPECT_EQ(line, step->expected) << "line " << sent_.size() << " differs from the script";
    }
    reply().assign(step->reply);
    return step->result;
}

int ScriptedLink::ListDevices() {
    ++listCount_;
    return listResult;
}

}  // namespace vm::test
