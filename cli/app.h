#pragma once
// The entry point of the command-line tool as a function of its words and its environment, so
// tests run it in-process against scripted links and a captured console.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.h"
#include "cli/system.h"
#include "link/clock.h"
#include "link/com_method.h"
#include "link/fixed_text.h"

namespace vm::cli {

enum class LinkKind { Ftdi, Hid, Lan, Pipe };

// Makes the link objects the tool opens; production makes the real transports, tests make
// scripted links or the virtual controller.
class LinkFactory {
public:
    virtual ~LinkFactory() = default;
    virtual std::shared_ptr<COM_METHOD> create(LinkKind kind, const LinkContext& context) = 0;
};

struct Environment {
    Console& console;
    Clock& clock;
    LinkFactory& links;
    // Process operations of the pipe modes; without it no server is ever started.
    System* system = nullptr;
};

inline constexpr std::string_view kVersion = "VMCLI.6.0.20190715\n";
inline constexpr std::string_view kDefaultPipeName = "SamplePipe";
using PipeName = FixedText<51>;  // at most 50 characters

// True when the word is the keyword itself or the keyword followed by ":" (exact upper case).
bool IsModeKeyword(std::string_view word, std::string_view keyword);
// The text after the first ":", cut to 50 characters; "SamplePipe" when the word holds no ":".
PipeName PipeNameOf(std::string_view word);

// Runs one invocation; words[0] is the program name. Always returns 0, the process exit code.
int RunVmcli(Environment& env, std::vector<std::string> words);

}  // namespace vm::cli
