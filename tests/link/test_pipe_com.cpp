// The named-pipe link against hand-made servers: names, privacy of the endpoints, the bounded
// waits in virtual time, and which reply connection a client takes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "link/pipe_com.h"
#include "link/pipe_endpoint.h"
#include "tests/support/pipe_support.h"

namespace {

using vm::LinkContext;
using vm::LinkSettings;
using vm::PIPE_COM;
using vm::UniqueFd;
using vm::test::PrivatePipeDirectory;

template <class ClockType>
struct Client {
    ClockType clock;
    vm::StringTextOut out;
    LinkContext context{LinkSettings::commandLine(), clock, out};
    PIPE_COM link{context};
};
using RealClient = Client<vm::SteadyClock>;
using VirtualClient = Client<vm::VirtualClock>;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(PipeLink, NamesFromTheBaseNameWithinTheirBounds) {
    PrivatePipeDirectory dir;
    const struct {
        std::string name;
        bool opens;
    } cases[] = {
        {"line1", true}, {"", true},      {std::string(38, 'n'), true}, {std::string(39, 'n'), false},
        {"a/b", false},  {"../x", false},
    };
    for (const auto& c : cases) {
        RealClient client;
        EXPECT_EQ(client.link.Open(c.name), c.opens) << c.name;
        if (!c.opens) continue;
        EXPECT_EQ(client.link.requestPipeName().view(), c.name + "SR");
        EXPECT_EQ(client.link.replyPipeName().view(), c.name + "RS");
        EXPECT_TRUE(S_ISSOCK(ModeOf(dir.file(c.name + "RS"))));
    }
}

TEST(PipeLink, EndpointsArePrivateAndGoAwayOnClose) {
    PrivatePipeDirectory dir;
    ::chmod(dir.path().c_str(), 0755);  // a directory of ours that is too open is made private
    RealClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    EXPECT_EQ(ModeOf(dir.path()) & 0777, 0700u);
    EXPECT_EQ(ModeOf(dir.file("line1RS")) & 0777, 0600u);
    EXPECT_EQ(ModeOf(dir.file("line1RS.lock")) & 0777, 0600u);
    auto server = vm::pipe::Endpoint::create(dir.path(), "line1SR", 0);
    ASSERT_TRUE(server);
    EXPECT_EQ(ModeOf(dir.file("line1SR")) & 0777, 0600u);
    client.link.Close();
    EXPECT_EQ(ModeOf(dir.file("line1RS")), 0u);
}

TEST(PipeLink, RefusesDirectoriesThatAreNotPrivatelyOurs) {
    PrivatePipeDirectory dir;
    const std::string real = dir.file("real");
    const std::string link = dir.file("link");
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    ::setenv(vm::pipe::kDirectoryVariable, link.c_str(), 1);
    RealClient viaLink;
    EXPECT_FALSE(viaLink.link.Open("line1")) << "a symbolic link could point anywhere";
    if (::geteuid() == 0) {
        const std::string foreign = dir.file("foreign");
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ::setenv(vm::pipe::kDirectoryVariable, foreign.c_str(), 1);
        RealClient viaForeign;
        EXPECT_FALSE(viaForeign.link.Open("line1")) << "another user's directory";
    }
    ::setenv(vm::pipe::kDirectoryVariable, dir.path().c_str(), 1);
}

// Runs a check in a child process that has become another user; true when it exited with 0.
bool AsOtherUser(const std::function<bool()>& check) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PipeLink, AnotherUserCannotReachTheEndpoints) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    PrivatePipeDirectory dir;
    auto server = vm::pipe::Endpoint::create(dir.path(), "line1SR", 0);
    ASSERT_TRUE(server);
    const std::string directory = dir.path();
    EXPECT_TRUE(AsOtherUser([&] {
        UniqueFd fd;
        return vm::pipe::ConnectEndpoint(directory, "line1SR", fd) != vm::pipe::ConnectResult::Connected;
    }));
    EXPECT_TRUE(AsOtherUser([&] {
        RealClient client;
        return !client.link.Open("line1");  // the directory is not the other user's
    }));
    // Nothing reached the server.
    EXPECT_FALSE(vm::pipe::AcceptPending(server->fd()));
}

TEST(PipeLink, SecondClientOfANameWaitsForItBounded) {
    PrivatePipeDirectory dir;
    RealClient first;
    ASSERT_TRUE(first.link.Open("line1"));
    VirtualClient second;
    EXPECT_FALSE(second.link.Open("line1"));
    EXPECT_GE(second.clock.elapsedMs(), PIPE_COM::kOpenWaitMs);

    VirtualClient third;
    third.clock.setObserver([&](std::int64_t nowNs) {
        if (nowNs >= 300'000'000) first.link.Close();
    });
    EXPECT_TRUE(third.link.Open("line1"));
    EXPECT_LT(third.clock.elapsedMs(), 400);
    third.clock.setObserver(nullptr);
}

TEST(PipeLink, NoServerPrintsPipeNotFoundAfterAThousandAttempts) {
    PrivatePipeDirectory dir;
    VirtualClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    client.link.command().assign("STS 1\r");
    client.link.reply().assign("old");
    EXPECT_EQ(client.link.Exchange(), 1);
    EXPECT_EQ(client.out.text(), "Pipe not Found\n");
    EXPECT_EQ(client.clock.elapsedMs(), PIPE_COM::kConnectAttempts);
    EXPECT_EQ(client.link.reply().view(), "");
    EXPECT_EQ(client.link.command().view(), "STS 1\r") << "nothing was written";
}

TEST(PipeLink, ExchangeOnALinkNeverOpenedFailsQuietly) {
    VirtualClient client;
    client.link.command().assign("STS 1\r");
    EXPECT_EQ(client.link.Exchange(), 1);
    EXPECT_EQ(client.out.text(), "");
    EXPECT_EQ(client.clock.elapsedMs(), 0);
}

// A server made by hand: accepts one request, reads it, then runs the script with the request
// connection and a way to push a reply connection carrying some text.
class HandServer {
  public:
    using Script = std::function<void(int request, const std::function<void(std::string_view)>& push)>;
    HandServer(const PrivatePipeDirectory& dir, Script script) : dir_(dir.path()) {
        auto endpoint = vm::pipe::Endpoint::create(dir_, "line1SR", 0);
        if (endpoint) endpoint_ = std::move(*endpoint);
        thread_ = std::thread([this, script] {
            pollfd p{endpoint_.fd(), POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return;
            UniqueFd request = vm::pipe::AcceptPending(endpoint_.fd());
            char buffer[256];
            while (true) {
                pollfd r{request.get(), POLLIN, 0};
                if (::poll(&r, 1, 5000) != 1 || ::read(request.get(), buffer, sizeof buffer) <= 0) break;
            }
            script(request.get(), [this](std::string_view text) {
                UniqueFd connection;
                if (vm::pipe::ConnectEndpoint(dir_, "line1RS", connection) ==
                    vm::pipe::ConnectResult::Connected)
                    vm::pipe::SendAll(connection.get(), text);
            });
            pollfd h{request.get(), 0, 0};
            ::poll(&h, 1, 5000);  // until the client hangs up
        });
    }
    ~HandServer() { thread_.join(); }

  private:
    std::string dir_;
    vm::pipe::Endpoint endpoint_;
    std::thread thread_;
};

void SayReplySent(int request) { vm::pipe::SendAll(request, std::string_view(&vm::pipe::kReplySent, 1)); }

TEST(PipeLink, TakesTheLastReplyConnectionAndSkipsOthers) {
    PrivatePipeDirectory dir;
    RealClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    HandServer server(dir, [](int request, const auto& push) {
        push("_OLD\r");  // a reply meant for someone else, waiting before ours
        push("_NEW\r");
        SayReplySent(request);
    });
    client.link.command().assign("STS 1\r");
    EXPECT_EQ(client.link.Exchange(), 0);
    EXPECT_EQ(client.link.reply().view(), "_NEW\r");
}

TEST(PipeLink, RequestClosedWithoutTheServersWordGetsNoReply) {
    PrivatePipeDirectory dir;
    RealClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    HandServer server(dir, [](int request, const auto& push) {
        push("_STALE\r");
        ::shutdown(request, SHUT_RDWR);
    });
    client.link.command().assign("STS 1\r");
    EXPECT_EQ(client.link.Exchange(), 1);
    EXPECT_EQ(client.link.reply().view(), "");
}

TEST(PipeLink, ReplyLongerThanTheBufferIsCut) {
    PrivatePipeDirectory dir;
    RealClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    HandServer server(dir, [](int request, const auto& push) {
        push(std::string(300, 'x'));
        SayReplySent(request);
    });
    client.link.command().assign("STS 1\r");
    EXPECT_EQ(client.link.Exchange(), 0);
    EXPECT_EQ(client.link.reply().view(), std::string(199, 'x'));
    EXPECT_EQ(client.link.bytesRead(), 199u);
}

TEST(PipeLink, SilentServerEndsTheWaitAtItsBound) {
    PrivatePipeDirectory dir;
    auto server = vm::pipe::Endpoint::create(dir.path(), "line1SR", 0);  // never answers
    ASSERT_TRUE(server);
    VirtualClient client;
    ASSERT_TRUE(client.link.Open("line1"));
    client.link.command().assign("STS 1\r");
    EXPECT_EQ(client.link.Exchange(), 1);
    EXPECT_GE(client.clock.elapsedMs(), PIPE_COM::kRequestDoneWaitMs);
    EXPECT_EQ(client.out.text(), "");
    EXPECT_TRUE(client.link.command().empty());
}

}  // namespace
