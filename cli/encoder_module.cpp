#include "cli/encoder_module.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "cli/drive_module.h"

namespace vm::cli {

namespace {

int Address(const Words& w) { return static_cast<int>(w.integer(2)) + kEncoderAddressOffset; }
int Channel(const Words& w) { return static_cast<int>(w.integer(3)); }

// Tokenizes the reply; true when token 0 is the success word, otherwise prints the refusal.
bool Acknowledged(Session& s, std::string_view word) {
    if (s.tokenize().is(0, word)) return true;
    s.print("Unable to comply\n");
    return false;
}

long Count(const Tokens& t, std::size_t k) { return t.integer(k) - kCounterOffset; }

// "DSG", "DSH" or "DSL": one detector value (gain or threshold) of one channel.
void SetDetectorValue(Session& s, const Words& w, const char* word, const char* what) {
    s.exchange("%s %d %d %d\r", word, Address(w), Channel(w), static_cast<int>(w.integer(4)));
    const std::string success = std::string("_") + word;
    if (Acknowledged(s, success)) s.print("%s for CH%d has been set\n", what, Channel(w));
}

using SampleTable = std::array<std::uint8_t, CliState::kSampleTableSize>;

// Reads `count` samples in blocks of eight with "CRP" or "CRV" lines; sample i of block b goes
// to index 8 × b + i. The status word of these replies is not examined.
void ReadSampleBlocks(Session& s, int address, const char* word, std::uint32_t count, SampleTable& table,
                      bool reporting) {
    const std::uint32_t blocks = (count + kSamplesPerBlock - 1) / kSamplesPerBlock;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        s.exchange("%s %d %u\r", word, address, b);
        const Tokens& t = s.tokenize();
        for (int i = 0; i < kSamplesPerBlock; ++i)
            table[kSamplesPerBlock * b + i] = static_cast<std::uint8_t>(t.integer(1 + i));
        if (reporting) {
            // The sample values without the four-character status word in front.
            const std::string_view values = s.reply().size() > 4 ? s.reply().substr(4) : std::string_view{};
            s.print("%.*s \n", static_cast<int>(values.size()), values.data());
        }
    }
}

std::uint32_t LimitedCount(const Tokens& t, std::size_t k) {
    return std::min(static_cast<std::uint32_t>(t.integer(k)), kMaxPeakSamples);
}

}  // namespace

void HandlePOS(Session& s, const Words& w) {
    s.exchange("CGV %d %d\r", Address(w), Channel(w));
    if (!Acknowledged(s, "_CGV")) return;
    const Tokens& t = s.tokens();
    s.print("POS :%ld\n", Count(t, 1));
    s.print("RVL :%d\n", t.integer(2));
}

void HandlePOSA(Session& s, const Words& w) {
    s.exchange("CGVA %d\r", Address(w));
    if (!Acknowledged(s, "_CGVA")) return;
    const Tokens& t = s.tokens();
    s.print("POS :%ld %ld %ld\n", Count(t, 1), Count(t, 2), Count(t, 3));
}

void HandleRST(Session& s, const Words& w) {
    s.exchange("CSZ %d %d\r", Address(w), Channel(w));
    if (Acknowledged(s, "_CSZ")) s.print("Counter for CH%d has been reset to zero\n", Channel(w));
}

void HandleDSG(Session& s, const Words& w) { SetDetectorValue(s, w, "DSG", "GAIN"); }

void HandleDSH(Session& s, const Words& w) { SetDetectorValue(s, w, "DSH", "High Threshold"); }

void HandleDSL(Session& s, const Words& w) { SetDetectorValue(s, w, "DSL", "Low Threshold"); }

void HandleMLS(Session& s, const Words& w) {
    s.exchange("MLS %d %d\r", Address(w), Channel(w));
    if (!Acknowledged(s, "_MLS")) return;
    const Tokens& t = s.tokens();
    const int ch = Channel(w);
    s.print("Post Detector Gain         CH%d: %d\n", ch, t.integer(1));
    s.print("Upper Comparator Threshold CH%d: %d\n", ch, t.integer(2));
    s.print("Lower Comparator Threshold CH%d: %d\n", ch, t.integer(3));
}

void HandleMSS(Session& s, const Words& w) {
    s.exchange("MSS %d %d\r", Address(w), Channel(w));
    if (Acknowledged(s, "_MSS")) s.print("Settings have been stored to internal flash\n");
}

// These four lines end in a space before the carriage return, and their outcome is shown by
// the status printer (which prints nothing for an empty reply) rather than a refusal line.
void HandleSLD(Session& s, const Words& w) {
    s.exchange("SLD %d %d \r", Address(w), static_cast<int>(w.integer(3)));
    PrintStatus(s);
}

void HandleCCU(Session& s, const Words& w) {
    s.exchange("CCU %d %d \r", Address(w), Channel(w));
    PrintStatus(s);
}

void HandleCCD(Session& s, const Words& w) {
    s.exchange("CCD %d %d \r", Address(w), Channel(w));
    PrintStatus(s);
}

void HandleCSH(Session& s, const Words& w) {
    s.exchange("CSH %d %d \r", Address(w), Channel(w));
    PrintStatus(s);
}

void HandleCAL(Session& s, const Words& w) { StartCalibration(s, w, true); }
void HandleCAS(Session& s, const Words& w) { StopCalibration(s, w, true); }
void HandleCCT(Session& s, const Words& w) { ReadCalibrationCount(s, w, true); }
void HandleCRP(Session& s, const Words& w) { ReadPeakSamples(s, w, true); }

bool StartCalibration(Session& s, const Words& w, bool reporting) {
    // Every attempt formats the line again: the pipe link empties the command buffer after an
    // exchange, so a bare resend would send nothing there.
    auto attempt = [&] {
        s.exchange("CAL %d %d\r", Address(w), Channel(w));
        return s.tokenize().is(0, "_CAL");
    };
    bool started = attempt();
    for (int resends = 0; !started && resends < kCalibrationResends; ++resends) started = attempt();
    if (!started) {
        s.print("Could not start Calibration... \n");
        return false;
    }
    if (reporting) s.print("Calibration in progress... \n");
    return true;
}

void StopCalibration(Session& s, const Words& w, bool reporting) {
    s.exchange("CAS %d\r", Address(w));
    const bool stopped = s.tokenize().is(0, "_CAS");
    if (reporting) s.print(stopped ? "Calibration Stopping... \n" : "Could not stop calibration... \n");
}

long ReadCalibrationCount(Session& s, const Words& w, bool reporting) {
    s.exchange("CCT %d\r", Address(w));
    const Tokens& t = s.tokenize();
    if (reporting) {
        if (t.is(0, "_CCT"))
            s.print("Calibration progress...: %.*s %.*s \n", static_cast<int>(t[1].size()), t[1].data(),
                    static_cast<int>(t[2].size()), t[2].data());
        else
            s.print("Error in Calibration Execution %.*s \n", static_cast<int>(t[0].size()), t[0].data());
    }
    return t.integer(1);
}

void ReadPeakSamples(Session& s, const Words& w, bool reporting) {
    const int address = Address(w);
    s.exchange("CCT %d\r", address);
    const Tokens& t = s.tokenize();
    if (!t.is(0, "_CCT")) return;
    CliState& state = s.state();
    // Counts are compared unsigned, so a negative count is limited to 400 as well.
    state.highCount = LimitedCount(t, 1);
    state.lowCount = LimitedCount(t, 2);
    ReadSampleBlocks(s, address, "CRP", state.highCount, state.highSamples, reporting);
    s.print("\n");
    ReadSampleBlocks(s, address, "CRV", state.lowCount, state.lowSamples, reporting);
}

}  // namespace vm::cli
