// Datagrams a LAN discovery receives, from arbitrary senders with arbitrary content: controller
// replies are recorded once per sender, the device table never overflows, and nothing else
// counts as a reply. Input: byte 0 picks the program's settings (bit 0: the desktop program's,
// which also store each replying address in the device table), then a sequence of datagrams,
// each a 1-byte sender number, a 2-byte length and that many bytes.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "link/clock.h"
#include "link/link_settings.h"
#include "link/tcp_com.h"
#include "link/text_out.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    vm::VirtualClock clock;
    vm::StringTextOut out;
    const vm::LinkContext context{
        (data[0] & 1) ? vm::LinkSettings::desktop() : vm::LinkSettings::commandLine(), clock, out};
    vm::TCP_COM link(context, vm::LanPorts{});
    std::size_t replies = 0;
    for (std::size_t i = 1; i + 3 <= size;) {
        in_addr sender{};
        sender.s_addr = htonl(0x7F000001u + data[i]);  // 127.0.0.1 onward
        const std::size_t length =
            std::min<std::size_t>(data[i + 1] | std::size_t{data[i + 2]} << 8, size - i - 3);
        const std::string_view bytes(reinterpret_cast<const char*>(data) + i + 3, length);
        i += 3 + length;
        const auto kind = link.takeDatagram(bytes, sender);
        const bool looksLikeReply = bytes.substr(0, 4) == "ZAV ";
        if ((kind == vm::TCP_COM::Datagram::Reply) != looksLikeReply) std::abort();
        if (kind == vm::TCP_COM::Datagram::Reply) ++replies;
    }
    if (link.discovered().size() > replies || link.discovered().size() > 256) std::abort();
    for (const auto& [address, text] : link.discovered())
        if (!text.starts_with("ZAV ") || text.size() > vm::TCP_COM::kDatagramBytes) std::abort();
    return 0;
}
