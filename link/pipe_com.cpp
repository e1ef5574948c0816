#include "link/pipe_com.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vm {

namespace {
// Room for a few replies of transactions this link gave up on; they are discarded unread.
constexpr int kReplyBacklog = 8;
}  // namespace

bool PIPE_COM::Open(std::string_view name) {
    Close();
    if (!pipe::ValidBaseName(name)) return false;
    requestName_.assign(name);
    requestName_.append(pipe::kRequestSuffix);
    replyName_.assign(name);
    replyName_.append(pipe::kReplySuffix);
    const auto directory = pipe::EndpointDirectory();
    if (!directory) return false;
    directory_ = *directory;
    user_ = ::geteuid();

    // Another client of the same name holds the reply endpoint for as long as its link is open;
    // wait for it rather than fail, so clients started together all get their turn.
    const std::int64_t start = clock().nowMs();
    while (true) {
        bool busy = false;
        auto endpoint = pipe::Endpoint::create(directory_, replyName_.view(), kReplyBacklog, &busy);
        if (endpoint) {
            replyPipe_ = std::move(*endpoint);
            return true;
        }
        if (!busy || clock().nowMs() - start >= kOpenWaitMs) return false;
        clock().sleepMs(1);
    }
}

void PIPE_COM::Close() {
    requestPipe_.reset();
    replyPipe_ = pipe::Endpoint{};
}

bool PIPE_COM::connectRequest(UniqueFd& request, pipe::Peer& server) {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        if (pipe::ConnectEndpoint(directory_, requestName_.view(), request) ==
            pipe::ConnectResult::Connected) {
            const auto peer = pipe::PeerOf(request.get());
            if (peer && peer->uid == user_) {
                server = *peer;
                return true;
            }
            request.reset();  // not a server of this user
        }
        clock().sleepMs(1);
    }
    return false;
}

int PIPE_COM::Exchange() {
    reply().clear();
    bytesRead_ = bytesWritten_ = 0;
    if (!replyPipe_.valid()) return 1;
    // Replies of earlier transactions that this link gave up on are stale.
    while (pipe::AcceptPending(replyPipe_.fd())) {
    }

    pipe::Peer server{};
    if (!connectRequest(requestPipe_, server)) {
        out().write("Pipe not Found\n");
        return 1;
    }
    const std::string_view text = command().view();
    const bool sent = pipe::SendAll(requestPipe_.get(), text);
    // Half-close: the server reads to the end of the command.
    ::shutdown(requestPipe_.get(), SHUT_WR);
    command().clear();
    if (!sent) {
        requestPipe_.reset();
        return 1;
    }
    bytesWritten_ = static_cast<std::uint32_t>(text.size());

    // The server keeps the request open until this side has its reply, so no other client's
    // transaction can come between.
    const bool answered = pipe::WaitReady(clock(), requestPipe_.get(), POLLIN, kRequestDoneWaitMs);
    char word = 0;
    const bool sentReply = answered && ::read(requestPipe_.get(), &word, 1) == 1 && word == pipe::kReplySent;
    const bool received = sentReply && receiveReply(server.pid);
    requestPipe_.reset();
    return received ? 0 : 1;
}

bool PIPE_COM::receiveReply(pid_t server) {
    // The server made its reply connection before it said so, and serves nobody else until this
    // request is closed, so the reply is the last connection waiting now; any before it are
    // replies meant for others (an earlier holder of the endpoint name, a client that never made
    // its endpoint, a transaction this link gave up on).
    UniqueFd connection;
    while (UniqueFd next = pipe::AcceptPending(replyPipe_.fd())) {
        const auto peer = pipe::PeerOf(next.get());
        if (peer && peer->uid == user_ && peer->pid == server) connection = std::move(next);
    }
    // The reply connection is in hand: release the server to its next client while this side
    // reads the reply (the server wrote it whole and closed its end before saying so).
    requestPipe_.reset();
    if (!connection) return false;
    std::size_t length = 0;
    const auto result =
        pipe::ReadToEnd(clock(), connection.get(), reply().raw(), Buffer::kMaxLength, length, kReplyWaitMs);
    reply().terminate(length);
    bytesRead_ = static_cast<std::uint32_t>(length);
    if (result == pipe::ReadResult::Complete || result == pipe::ReadResult::TooLong) return true;
    reply().clear();
    return false;
}

}  // namespace vm
