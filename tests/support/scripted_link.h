#pragma once
// A link for tests that checks every command line against the expected one and answers a canned
// reply (or a link failure), recording every line it was sent. Lines beyond the script, lines
// that differ from the script and script steps left over at destruction fail the test.
#include <initializer_list>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/com_method.h"
#include "link/text_out.h"

namespace vm::test {

struct ScriptStep {
    std::string expected;  // "*" accepts any line
    std::string reply;
    int result = 0;        // the Exchange result; the reply is stored either way
};

// A context for links built in tests: the command-line tool's settings, a shared virtual clock
// and a shared output sink.
const LinkContext& TestLinkContext();

class ScriptedLink final : public COM_METHOD {
public:
    explicit ScriptedLink(const LinkContext& context = TestLinkContext());
    // Steps as a braced list: ScriptedLink link({{"STS 1\r", "_STP\r"}, {"GFS 1\r", "_GFS 0\r"}});
    ScriptedLink(std::initializer_list<ScriptStep> steps, const LinkContext& context = TestLinkContext());
    ~ScriptedLink() override;

    ScriptedLink& expect(std::string line, std::string reply, int result = 0);
    // Accepts lines without checking them and answers them all with the same reply.
    void answerEverything(std::string reply, int result = 0);

    bool OpenDefault() override;
    bool Open(std::string_view name) override;
    void Close() override { ++closeCount_; }
    int Exchange() override;
    int ListDevices() override;

    // Behaviour switches.
    bool openResult = true;
    int listResult = 1;
    bool clearCommandAfterExchange = false;  // as the pipe link does
    bool allowLeftover = false;

    const std::vector<std::string>& sent() const { return sent_; }
    const std::vector<std::string>& opened() const { return opened_; }
    int closeCount() const { return closeCount_; }
    int listCount() const { return listCount_; }
    std::size_t leftover() const { return steps_.size() - next_; }

private:
    std::vector<ScriptStep> steps_;
    std::size_t next_ = 0;
    std::vector<std::string> sent_;
    std::vector<std::string> opened_;
    int closeCount_ = 0;
    int listCount_ = 0;
    bool answerAll_ = false;
    ScriptStep everything_;
};

}  // namespace vm::test
