#pragma once
// The command line of the vmsim program.
#include <optional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/firmware.h"
#include "sim/rack.h"
#include "sim/tcp_server.h"

namespace vm::sim {

struct SimOptions {
    RackConfig rack = RackConfig::Default();
    std::string bindAddress = "127.0.0.1";
    std::uint16_t port = 2048;
    std::uint16_t discoveryPort = 7000;
    bool discovery = true;
    std::string discoveryReply = "ZAV VMCS-SIM";
    int discoveryRepeat = 1;
    double speed = 1.0;
    std::string stateFile;
    std::string readyFile;
    bool transcript = false;
    std::string transcriptFile;  // empty: the transcript, when on, goes to standard error
    std::vector<FaultRule> faults;
    FirmwareFault firmwareFault;  // none unless --firmware-fault is given
    bool help = false;
};

inline constexpr const char* kSimUsage =
    "usage: vmsim [options]\n"
    "  --rack C,O,C,O,R,-      slots 1 to 6: C drive (C1 one channel), O encoder, R sensor, - empty\n"
    "  --config FILE           read rack settings from a file (rack = ..., configuration = A)\n"
    "  --signal SLOT.CH=SIG    optical signal of one encoder channel: good, weak10, noisy10, weak40,\n"
    "                          faint, dark, bright, offset, or levels HIGH/LOW before the gain (0-255)\n"
    "  --bind ADDRESS          IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N                TCP command port (default 2048, 0 for any free port)\n"
    "  --discovery-port N      UDP discovery port (default 7000, 0 for any free port)\n"
    "  --no-discovery          do not answer discovery broadcasts (--discovery: do; the last one wins)\n"
    "  --discovery-reply TEXT  discovery answer (default \"ZAV VMCS-SIM\")\n"
    "  --discovery-repeat N    send each discovery answer N times (default 1)\n"
    "  --speed X               run time X times faster than real time (default 1)\n"
    "  --state FILE            keep user memory and network settings in FILE\n"
    "  --fault RULE            inject a fault: delay:MS, noreply[:MS], nocr, split[:N[:MS]], close,\n"
    "                          corrupt, garbage[:N], endless[:MS], eject:SLOT, answer:TEXT, optionally\n"
    "                          @WORD (only that command) and *COUNT (only that often)\n"
    "  --firmware-fault RULE   make firmware updates fail: fliprambit:CLUSTER:BIT,\n"
    "                          flipflashbit:CLUSTER:BIT or erasefail, optionally @ADDRESS\n"
    "  --ready-file FILE       write \"PORT DISCOVERYPORT\" to FILE once listening\n"
    "  --transcript            print every received line with its time on standard error\n"
    "  --transcript-file FILE  write those lines to FILE instead, each as soon as it arrives\n";

// Parses the arguments after the program name; nullopt with a message in *error.
std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args, std::string* error);

}  // namespace vm::sim
