// Fault runs: the real vmcli against a real vmsim over TCP on 127.0.0.1 while vmsim injects one
// fault per run (or no controller listens at all). Every run must end by itself, well inside a
// bound, with exit code 0 and the expected text; vmsim's transcript shows which lines reached the
// controller, so a command that must stop after a failure is seen to send nothing more.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "link/clock.h"
#include "link/unique_fd.h"
#include "tests/support/process.h"
#include "tests/support/sim_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using vm::UniqueFd;
using vm::test::RunProcess;
using vm::test::SimProcess;

// A private directory with the firmware images the FU runs send and vmsim's transcript file:
// 40 bytes (five groups, one partial cluster) and 4096 bytes (exactly one cluster, so the CRC of
// its only cluster is the CRC of the whole image).
class Scratch {
  public:
    Scratch() {
        std::string bytes;
        for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>(i * 37 + 5));
        dir_.file("image.bin", std::string_view(bytes).substr(0, 40));
        dir_.file("cluster.bin", bytes);
    }
    bool ok() const { return dir_.ok(); }
    std::string image() const { return dir_.path("image.bin"); }
    std::string cluster() const { return dir_.path("cluster.bin"); }
    std::string transcript() const { return dir_.path("transcript.txt"); }

  private:
    vm::test::TempDir dir_{"vm-fault-runs"};
};

// A TCP port that refuses every connection: bound, so no other program takes it while the test
// runs, but not listening.
class RefusingPort {
  public:
    RefusingPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
    }
    std::uint16_t port() const { return port_; }

  private:
    UniqueFd socket_;
    std::uint16_t port_ = 0;
};

// Sends one line to vmsim and waits (bounded) for the connection to end. vmsim serves one
// connection at a time, so once this line is in its transcript every line that reached it before
// is there too, even one that vmcli sent while vmsim was still busy with a late reply.
bool SendMarker(std::uint16_t port, const std::string& line) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket || ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    if (::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        return false;
    ::shutdown(socket.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    char buffer[512];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{socket.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        if (::recv(socket.get(), buffer, sizeof buffer, 0) <= 0) return true;
    }
    return false;
}

constexpr const char* kMarkerWord = "ENDOFRUN";

// The command words of the transcript file ("   0.123 STS 1\r" per line, escaped), up to the
// marker. Waits (bounded) for the marker to arrive.
std::optional<std::vector<std::string>> ReceivedWords(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    vm::SteadyClock clock;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::vector<std::string> words;
        std::string time, word;
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            fields >> time >> word;
            if (const auto cr = word.find("\\r"); cr != std::string::npos) word.resize(cr);
            if (word == kMarkerWord) return words;
            words.push_back(word);
        }
        clock.sleepMs(20);
    }
    return std::nullopt;
}

// "STS GFS", "CAL*11" (exactly 11 in a row), "SCM STS+ RCV" (one or more in a row): the command
// words vmsim must have received, in order. Both sides are compared as runs of equal words.
struct Run {
    std::string word;
    int count;
};

std::vector<Run> Runs(const std::vector<std::string>& words) {
    std::vector<Run> runs;
    for (const auto& w : words) {
        if (!runs.empty() && runs.back().word == w)
            ++runs.back().count;
        else
            runs.push_back({w, 1});
    }
    return runs;
}

bool MatchesPattern(const std::vector<std::string>& words, const std::string& pattern) {
    const std::vector<Run> runs = Runs(words);
    std::istringstream in(pattern);
    std::string item;
    std::size_t i = 0;
    for (; in >> item; ++i) {
        if (i >= runs.size()) return false;
        int low = 1, high = 1;
        if (item.ends_with('+')) {
            item.pop_back();
            high = 1 << 30;
        } else if (const auto star = item.find('*'); star != std::string::npos) {
            low = high = std::stoi(item.substr(star + 1));
            item.resize(star);
        }
        if (runs[i].word != item || runs[i].count < low || runs[i].count > high) return false;
    }
    return i == runs.size();
}

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

// What a run must print: the whole text, or fragments that must and must not appear.
struct Output {
    std::optional<std::string> exact;
    std::vector<std::string> has;
    std::vector<std::string> hasNot;
};
Output Is(std::string text) { return {std::move(text), {}, {}}; }
Output Has(std::vector<std::string> has, std::vector<std::string> hasNot = {}) {
    return {std::nullopt, std::move(has), std::move(hasNot)};
}

struct FaultRun {
    std::string name;
    std::vector<std::string> sim;  // vmsim options that inject the fault
    // vmcli words after the selector (a leading DEVMODE goes before it); "IMAGE" and "CLUSTER"
    // name the image files.
    std::vector<std::string> words;
    Output output;
    std::string sent;        // the lines vmsim received (pattern above)
    std::string input = {};  // standard input of vmcli ("y" confirms a firmware update)
    // A vmcli run afterwards that shows the controller's state, and what it prints.
    std::vector<std::string> thenWords = {};
    std::string thenOutput = {};
    std::chrono::seconds bound = 15s;  // the run must end by itself within this
};

const std::string kFu = "IMAGE";
const std::string kFuCluster = "CLUSTER";
const std::vector<std::string> kUpdate = {"FU", "1", kFu};
const std::vector<std::string> kClusterUpdate = {"FU", "1", kFuCluster};
// The 4096-byte image: 512 groups, one full cluster.
const std::string kClusterUpdateLines = "FU0 FU1*512 FU2 FU2A FU2B FU3 FU4";
// A 40-byte image: erase, five groups, the partial cluster, the image CRC, then FU5 or FU6.
const std::string kUpdateLines = "FU0 FU1*5 FU2 FU2A FU2B FU3 FU4";
const std::string kMatching = "\n\tChecksums are MATCHING\n";
const std::string kFailed = "\tChecksum match FAILED\n";
const std::string kReboot = "CONTROLLER REBOOT";
const std::string kEnd = "\n===================== END  OF  UPDATE =======================\n\n";
const std::vector<std::string> kOldVersion = {"FIV", "1"};
const std::string kOldVersionText = "Firmware Version: 3.05 \n";
const std::string kStopped = "STATUS : STOP\nFAILSAFE STATE: 0x0\n";
const std::vector<std::string> kMove = {"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000"};

struct Outcome {
    vm::test::ProcessResult result;
    std::chrono::milliseconds took{};
};

Outcome RunVmcli(const FaultRun& run, const std::vector<std::string>& words, std::uint16_t port,
                 const Scratch& scratch, const std::string& input) {
    std::vector<std::string> argv{VMCLI_PATH};
    std::size_t first = 0;
    if (!words.empty() && words[0] == "DEVMODE") argv.push_back(words[first++]);
    argv.push_back("@127.0.0.1");
    for (std::size_t i = first; i < words.size(); ++i) {
        const std::string& w = words[i];
        argv.push_back(w == kFu ? scratch.image() : w == kFuCluster ? scratch.cluster() : w);
    }
    const auto start = std::chrono::steady_clock::now();
    Outcome outcome;
    outcome.result = RunProcess(argv, input, run.bound, {"VM_LAN_PORT=" + std::to_string(port)});
    outcome.took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return outcome;
}

void CheckOutput(const FaultRun& run, const Outcome& outcome) {
    const auto& r = outcome.result;
    EXPECT_FALSE(r.timedOut) << run.name << ": still running after " << run.bound.count() << " s";
    EXPECT_EQ(r.exitCode, 0) << run.name;
    if (run.output.exact) {
        EXPECT_EQ(r.output, *run.output.exact) << run.name;
    }
    for (const auto& text : run.output.has)
        EXPECT_NE(r.output.find(text), std::string::npos) << run.name << ": missing " << text << "\n"
                                                          << r.output;
    for (const auto& text : run.output.hasNot)
        EXPECT_EQ(r.output.find(text), std::string::npos) << run.name << ": unexpected " << text << "\n"
                                                          << r.output;
}

// One run against vmsim with the row's fault: vmcli's output, then what reached vmsim, then the
// follow-up run.
void RunAgainstSim(const FaultRun& run) {
    SCOPED_TRACE(run.name);
    Scratch scratch;
    ASSERT_TRUE(scratch.ok());
    std::vector<std::string> args = {"--transcript-file", scratch.transcript()};
    args.insert(args.end(), run.sim.begin(), run.sim.end());
    SimProcess sim(VMSIM_PATH, args);
    ASSERT_TRUE(sim.ready()) << run.name;

    const Outcome outcome = RunVmcli(run, run.words, sim.port(), scratch, run.input);
    CheckOutput(run, outcome);

    ASSERT_TRUE(SendMarker(sim.port(), std::string(kMarkerWord) + "\r")) << run.name;
    const auto words = ReceivedWords(scratch.transcript());
    ASSERT_TRUE(words) << run.name << ": the transcript never showed the end-of-run marker";
    EXPECT_TRUE(MatchesPattern(*words, run.sent))
        << run.name << ": vmsim received [" << Join(*words) << "], expected [" << run.sent << "]";

    if (!run.thenWords.empty()) {
        FaultRun then = run;
        then.bound = 15s;
        const Outcome after = RunVmcli(then, run.thenWords, sim.port(), scratch, {});
        EXPECT_FALSE(after.result.timedOut) << run.name;
        EXPECT_EQ(after.result.output, run.thenOutput) << run.name << ": afterwards";
    }
}

void RunTable(const std::vector<FaultRun>& runs) {
    for (const auto& run : runs) RunAgainstSim(run);
}

// No controller at the address: every connection is refused. The command-line tool opens a LAN
// link without contacting the controller, so each handler sees its exchanges fail with an empty
// reply buffer and prints what its failure rules give.
TEST(FaultRuns, ControllerGone) {
    const std::vector<FaultRun> runs = {
        {"status: the failed exchange leaves nothing to print", {}, {"STS", "1"}, Is(""), ""},
        {"move: every exchange fails, the status of an empty reply prints nothing", {}, kMove, Is(""), ""},
        {"counter position: no acknowledgement", {}, {"POS", "2", "1"}, Is("Unable to comply\n"), ""},
        {"descriptor", {}, {"DESC", "1"}, Is("Information not available\n"), ""},
        {"capacitance: stops silently after its first exchange", {}, {"SCM", "1"}, Is(""), ""},
        {"high-frequency recording", {}, {"HFM", "5", "1", "CEDAR1-POT"}, Is("Unable to comply\n"), ""},
        {"firmware update: erase fails, the image CRC cannot match, FU5 instead of FU6",
         {},
         kUpdate,
         Has({"\tCould not erase image ...\n\n", "\tChecksum of Flash: 0x0 \n", kFailed, kEnd}, {kReboot}),
         "",
         "y"},
    };
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    Scratch scratch;
    ASSERT_TRUE(scratch.ok());
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        CheckOutput(run, RunVmcli(run, run.words, refusing.port(), scratch, run.input));
    }
}

// Replies that start but never end: the link keeps what came within one second (or the first 199
// of 512 bytes looked at) and the handler judges that text.
TEST(FaultRuns, ReplyNeverEnds) {
    const std::string flood = "_STP" + std::string(195, '#');
    RunTable({
        {"a trickle: the text of the first second",
         {"--fault", "endless:100@STS"},
         {"STS", "1"},
         Has({"STATUS RESPONSE: _STP###", "\n:FAILSAFE STATE: 0x0\n"}),
         "STS GFS"},
        {"a flood: cut at the reply buffer",
         {"--fault", "endless:0@STS"},
         {"STS", "1"},
         Is("STATUS RESPONSE: " + flood + "\n:FAILSAFE STATE: 0x0\n"),
         "STS GFS"},
        {"a connection held open without a byte: the status exchange fails, no failsafe query",
         {"--fault", "noreply:3000@STS"},
         {"STS", "1"},
         Is(""),
         "STS"},
        {"a reply without its carriage return before the connection closes counts as whole",
         {"--fault", "nocr"},
         {"STS", "1"},
         Is(kStopped),
         "STS GFS"},
        {"capacitance start never answered: nothing after the first line",
         {"--fault", "noreply:3000@SCM"},
         {"SCM", "1"},
         Is(""),
         "SCM"},
    });
}

// Replies later than the one second the LAN link waits.
TEST(FaultRuns, ReplyAfterTheDeadline) {
    RunTable({
        {"status: the late reply is a link failure, so no failsafe query",
         {"--fault", "delay:1500@STS"},
         {"STS", "1"},
         Is(""),
         "STS"},
        {"failsafe query late: its empty reply reads as 0",
         {"--fault", "delay:1500@GFS"},
         {"STS", "1"},
         Is(kStopped),
         "STS GFS"},
        {"amplifier start late: nothing after the first line",
         {"--fault", "delay:1500@SAM"},
         {"SAM", "1"},
         Is(""),
         "SAM"},
        {"late image CRC: no match, FU5 and the unit keeps its firmware",
         {"--fault", "delay:1500@FU4"},
         kUpdate,
         Has({kFailed, kEnd}, {kReboot}),
         kUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText,
         20s},
        // The late reply leaves token 1 of the cluster's flash CRC in place, and for a one-cluster
        // image that is the image CRC; only the unit's own answer may count as a match or be shown.
        {"late image CRC of a one-cluster image: the earlier cluster CRC neither counts nor shows, FU5",
         {"--fault", "delay:1500@FU4"},
         kClusterUpdate,
         Has({"\tChecksum of Flash: 0x0 \n" + kFailed, kEnd}, {kReboot, kMatching}),
         kClusterUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText,
         30s},
    });
}

// Replies that arrive in two pieces: within the deadline they are put together; a second piece
// after it is lost and the first one is judged alone.
TEST(FaultRuns, ReplyInPieces) {
    RunTable({
        {"status in two pieces", {"--fault", "split:2"}, {"STS", "1"}, Is(kStopped), "STS GFS"},
        {"every reply of a firmware update in pieces: the update completes",
         {"--fault", "split:3:200"},
         kUpdate,
         Has({kMatching, "\n\tCONTROLLER REBOOT...  Please wait...\n", kEnd}),
         kUpdateLines + " FU6",
         "y",
         {},
         {},
         20s},
        {"second piece after the deadline: the first piece is the reply",
         {"--fault", "split:2:1500@STS"},
         {"STS", "1"},
         Is("STATUS RESPONSE: _S\n:FAILSAFE STATE: 0x0\n"),
         "STS GFS"},
        {"counter position cut after its word: no values, the counter reads as -131072",
         {"--fault", "split:4:1500@CGV"},
         {"POS", "2", "1"},
         Is("POS :-131072\nRVL :0\n"),
         "CGV"},
    });
}

// Replies that are junk: garbled characters, binary bytes, more than the link looks at.
TEST(FaultRuns, GarbageBytes) {
    RunTable({
        {"garbled status: not an acknowledgement, so a link failure; no failsafe query",
         {"--fault", "corrupt@STS"},
         {"STS", "1"},
         Has({"STATUS RESPONSE: "}, {"FAILSAFE"}),
         "STS"},
        {"binary status: printed up to its first zero byte, no failsafe query",
         {"--fault", "garbage:64@STS"},
         {"STS", "1"},
         Has({"STATUS RESPONSE: \xD3T"}, {"FAILSAFE"}),
         "STS"},
        {"binary reply longer than the link looks at",
         {"--fault", "garbage:4096@STS"},
         {"STS", "1"},
         Has({"STATUS RESPONSE: \xD3T"}, {"FAILSAFE"}),
         "STS"},
        {"amplifier start garbled: not an acknowledgement, so a link failure; nothing more",
         {"--fault", "corrupt@SAM"},
         {"SAM", "1"},
         Is(""),
         "SAM"},
        {"recording start garbled: nothing after the first line",
         {"--fault", "garbage@BUF"},
         {"HFM", "5", "1", "CEDAR1-POT"},
         Is("Unable to comply\n"),
         "BUF"},
        {"calibration start garbled: ten resends, then it gives up",
         {"--fault", "corrupt@CAL"},
         {"DEVMODE", "CAL", "2", "1"},
         Has({"Could not start Calibration... \n"}, {"Calibration in progress"}),
         "CAL*11"},
        {"counter position as binary junk",
         {"--fault", "garbage:300@CGV"},
         {"POS", "2", "1"},
         Is("Unable to comply\n"),
         "CGV"},
        {"image CRC as junk: no match, FU5",
         {"--fault", "garbage@FU4"},
         kUpdate,
         Has({kFailed, kEnd}, {kReboot}),
         kUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText},
    });
}

// A module pulled from its slot while a command runs: from that line on the slot answers "MNF".
TEST(FaultRuns, SlotEmptiesMidCommand) {
    RunTable({
        {"drive module pulled before the move line",
         {"--fault", "eject:1@MOV"},
         kMove,
         Is("STATUS : NOT FOUND\n"),
         "STS CSH CCU MOV",
         {},
         {"STS", "1"},
         "STATUS : NOT FOUND\n"},
        {"encoder module pulled before the counter set-up: the move still runs",
         {"--fault", "eject:2@CCU"},
         kMove,
         Is("STATUS : MOVE\n"),
         "STS CSH CCU MOV"},
        {"drive module pulled before the failsafe query",
         {"--fault", "eject:1@GFS"},
         {"STS", "1"},
         Is(kStopped),
         "STS GFS"},
        {"drive module pulled before the capacitance read-out",
         {"--fault", "eject:1@RCV"},
         {"SCM", "1"},
         Is("Measuring Capacitance ...\rUnable to determine load\n"),
         "SCM STS+ RCV"},
        {"sensor module pulled during a recording: the sample is asked for 100 times, then given up",
         {"--fault", "eject:5@BUR"},
         {"HFM", "5", "1", "CEDAR1-POT"},
         Is("High frequency measurement RSM 5, channel 1\n"
            "High frequency measurement aborted: sample 0 not delivered after 100 requests\n"),
         "BUF BUR*100"},
        // Inside the calibration nothing stops the procedure. The count read of the pulled module
        // reads token 1 left by the detector read-out (gain 128, at least the 100 pulses asked
        // for), so the first run ends after one pass; without samples the procedure reports the
        // initial-stage error, resets the detector and waits for Enter.
        {"encoder module pulled at the calibration start: the procedure runs to its error and prompt",
         {"--fault", "eject:2@CAL"},
         {"OEMC", "2", "1", "ASPEN1", "4", "1", "300", "100", "5"},
         Has({"Could not start Calibration... \n", "- Error in Calibration Initial Stage: \n",
              "Unable to comply\nUnable to comply\nUnable to comply\n\n Press ENTER to continue ...\n"},
             {"SUCCESS"}),
         "MLS DSG CAL*11 STP CSH CCT STS CSH CCU MOV STP CSH CCT CAS DSG DSH DSL",
         "\n",
         {},
         {},
         30s},
        {"drive module pulled during a firmware update: no match, FU5",
         {"--fault", "eject:1@FU2A"},
         kUpdate,
         Has({"\t\t[RAM  ]: 0x0\n", "\tChecksum of Flash: 0x0 \n", kFailed, kEnd}, {kReboot}),
         kUpdateLines + " FU5",
         "y"},
    });
}

// The unit damages the image while it programs it; only the whole-image CRC decides.
TEST(FaultRuns, CorruptedFirmwareCluster) {
    RunTable({
        {"a bit flips in flash: FU5, the old firmware stays",
         {"--firmware-fault", "flipflashbit:0:100@1"},
         kUpdate,
         Has({kFailed, kEnd}, {kReboot, kMatching}),
         kUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText},
        {"a bit flips in the cluster buffer: FU5",
         {"--firmware-fault", "fliprambit:0:7@1"},
         kUpdate,
         Has({kFailed, kEnd}, {kReboot, kMatching}),
         kUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText},
        {"the erase fails: reported, the update goes on, programming over old data gives FU5",
         {"--firmware-fault", "erasefail@1"},
         kUpdate,
         Has({"\tCould not erase image ...\n\n", kFailed, kEnd}, {kReboot}),
         kUpdateLines + " FU5",
         "y",
         kOldVersion,
         kOldVersionText},
        {"the update not confirmed: nothing is sent",
         {"--firmware-fault", "flipflashbit:0:100@1"},
         kUpdate,
         Has({"\tFile could not be loaded ...\n" + kEnd}),
         "",
         "n"},
    });
}

// A module that answers every stop with "busy": the stop loop gives up after its budget of
// stop waits (30 s) instead of stopping forever.
TEST(FaultRuns, ModuleStaysBusy) {
    RunTable({
        {"every stop answered as moving",
         {"--fault", "answer:_MOV@STP"},
         {"STP", "1"},
         Is("Module 1 is still busy after 300 stop requests; giving up\nSTATUS : MOVE\n"),
         "STP*301 CSH",
         {},
         {},
         {},
         60s},
    });
}

// The controller drops the connection without a reply.
TEST(FaultRuns, DroppedConnection) {
    RunTable({
        {"status dropped: no failsafe query", {"--fault", "close@STS"}, {"STS", "1"}, Is(""), "STS"},
        {"one streamed group's reply dropped: the unit stored it, the update completes",
         {"--fault", "close@FU1*1"},
         kUpdate,
         Has({kMatching, kEnd}),
         kUpdateLines + " FU6",
         "y"},
    });
}

}  // namespace
