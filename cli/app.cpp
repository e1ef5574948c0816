#include "cli/app.h"

#include "cli/dispatch.h"
#include "cli/messages.h"
#include "cli/pipe_modes.h"
#include "cli/session.h"
#include "cli/validator.h"
#include "cli/words.h"

namespace vm::cli {

namespace {

enum class LinkState { None = 0, Open = 1, Local = 2 };

constexpr std::string_view kDevelopmentBanner =
    "------------------------------------------\n"
    "| Program running in Development Mode... |\n"
    "------------------------------------------\n\n";

// Owns the link objects of one run; a link is closed only through the session's bound close.
class Links {
public:
    Links(Environment& env, Session& session)
        : env_(env), session_(session), context_{LinkSettings::commandLine(), env.clock, env.console} {}

    // Tries one transport: on success the link is kept and bound.
    bool tryOpen(LinkKind kind, std::string_view name, bool byName) {
        auto link = env_.links.create(kind, context_);
        if (!link) return false;
        const bool opened = byName ? link->Open(name) : link->OpenDefault();
        if (!opened) return false;
        const bool usb = kind == LinkKind::Ftdi || kind == LinkKind::Hid;
        session_.bind(link.get(), usb);
        owned_.push_back(std::move(link));
        return true;
    }

    // The selector word without its "@".
    bool openSelector(std::string_view selector) {
        for (const auto& [keyword, monitor] : {std::pair{"CMON", true}, std::pair{"SERV", false}}) {
            if (!IsModeKeyword(selector, keyword)) continue;
            const PipeName name = PipeNameOf(selector);
            EnsurePipeServer(env_, name.view(), monitor);
            // The pipe link's result is the result of creating its reply endpoint.
            auto link = env_.links.create(LinkKind::Pipe, context_);
            if (!link) return false;
            const bool created = link->Open(name.view());
            if (created) session_.bind(link.get(), false);
            owned_.push_back(std::move(link));
            return created;
        }
        if (tryOpen(LinkKind::Ftdi, selector, true)) return true;
        if (tryOpen(LinkKind::Hid, selector, true)) return true;
        return CountDots(selector) == 3 && tryOpen(LinkKind::Lan, selector, true);
    }

    bool openDefault() { return tryOpen(LinkKind::Ftdi, {}, false) || tryOpen(LinkKind::Hid, {}, false); }

    // The LAN discovery listing of /LAN; its result is not used.
    void listLan() {
        auto link = env_.links.create(LinkKind::Lan, context_);
        if (link) link->ListDevices();
    }

private:
    Environment& env_;
    Session& session_;
    LinkContext context_;
    std::vector<std::shared_ptr<COM_METHOD>> owned_;
};

}  // namespace

bool IsModeKeyword(std::string_view word, std::string_view keyword) {
    return word.substr(0, keyword.size()) == keyword && (word.size() == keyword.size() || word[keyword.size()] == ':');
}

PipeName PipeNameOf(std::string_view word) {
    const auto colon = word.find(':');
    return PipeName(colon == std::string_view::npos ? kDefaultPipeName : word.substr(colon + 1));
}

int RunVmcli(Environment& env, std::vector<std::string> argv) {
    // Start-up: the sample tables, the reply tokens and the profile table live in the session.
    Session session(env.console, env.clock);
    Links links(env, session);
    if (argv.empty()) argv.emplace_back("vmcli");
    Words words(std::move(argv));
    LinkState state = LinkState::None;

    // Drops the first word after the program name; it takes index 0 as the handlers expect.
    auto dropFirst = [&words] {
        auto& all = words.all();
        all[0] = std::move(all[1]);
        all.erase(all.begin() + 1);
    };

    if (words.count() >= 2) {
        for (const auto& [keyword, monitor] : {std::pair{"SERV", false}, std::pair{"CMON", true}}) {
            if (!IsModeKeyword(words.word(1), keyword)) continue;
            const PipeName name = PipeNameOf(words.word(1));
            if (RunPipeMode(env, session, words, name.view(), monitor) == PipeModeEnd::EndProcess) {
                env.console.flush();
                return 0;
            }
            env.console.write("Returning to client...\n");
        }
        if (words.word(1) == "DEVMODE") {
            session.setDevelopmentMode(true);
            dropFirst();
        }
        if (words.count() >= 2) {
            if (words.word(1).starts_with('@')) {
                const std::string selector(words.word(1).substr(1));
                if (links.openSelector(selector)) state = LinkState::Open;
                dropFirst();
            } else if (links.openDefault()) {
                state = LinkState::Open;
            }
        }
    }

    if (ValidateArguments(env.console, words, session.developmentMode()) != 0) {
        env.console.flush();
        return 0;
    }

    if (words.command() == "/LAN") {
        links.listLan();
        state = LinkState::Local;
    } else if (words.command() == "/ver") {
        env.console.print("Version: %.*s\n", static_cast<int>(kVersion.size()), kVersion.data());
        state = LinkState::Local;
    }

    if (state == LinkState::None) {
        session.message(203);
    } else if (state == LinkState::Open) {
        if (words.command() == "/USB") session.listDevices();
        Dispatch(session, words);
        session.close();
        if (session.developmentMode()) env.console.write(kDevelopmentBanner);
    }
    env.console.flush();
    return 0;
}

}  // namespace vm::cli
