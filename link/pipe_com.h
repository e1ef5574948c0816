#pragma once
// The named-pipe link: a client of a pipe server or monitor process that holds the real link.
// Every exchange is one transaction: connect to the server's request endpoint, send the command,
// wait until the server has finished with it, then take the reply from the server's connection
// to this link's reply endpoint.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "link/com_method.h"
#include "link/fixed_text.h"
#include "link/pipe_endpoint.h"

namespace vm {

class PIPE_COM final : public COM_METHOD {
  public:
    static constexpr std::size_t kNameSize = 50;
    // Connection attempts to the request endpoint, 1 ms apart, before "Pipe not Found".
    static constexpr int kConnectAttempts = 1000;
    // Open waits this long for the reply endpoint name while another live client holds it.
    static constexpr std::uint32_t kOpenWaitMs = 10000;
    // From the sent command until the server has finished with it (its read and the exchange on
    // the real link, at most about 5 s for the slowest transport).
    static constexpr std::uint32_t kRequestDoneWaitMs = 10000;
    // From then until the server's reply has arrived completely.
    static constexpr std::uint32_t kReplyWaitMs = 1000;

    using Name = FixedText<kNameSize>;

    explicit PIPE_COM(const LinkContext& context) : COM_METHOD(context) {}
    ~PIPE_COM() override { Close(); }

    bool OpenDefault() override { return false; }
    // Builds both endpoint names from the base name and creates the reply endpoint.
    bool Open(std::string_view name) override;
    void Close() override;
    // 0 on success; 1 when the request endpoint was not found or no reply came back.
    int Exchange() override;
    int ListDevices() override { return 0; }

    const Name& requestPipeName() const { return requestName_; }
    const Name& replyPipeName() const { return replyName_; }
    std::uint32_t bytesRead() const { return bytesRead_; }
    std::uint32_t bytesWritten() const { return bytesWritten_; }

  private:
    bool connectRequest(UniqueFd& request, pipe::Peer& server);
    // Accepts the server's reply connection and reads it into the reply buffer.
    bool receiveReply(pid_t server);

    std::string directory_;
    // This process's user, taken at Open: the server must be the same user.
    uid_t user_ = 0;
    UniqueFd requestPipe_;
    pipe::Endpoint replyPipe_;
    std::uint32_t bytesRead_ = 0;
    std::uint32_t bytesWritten_ = 0;
    Name replyName_;
    Name requestName_;
};

}  // namespace vm
