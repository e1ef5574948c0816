#include "cli/sensor_module.h"

#include "cli/profiles.h"

namespace vm::cli {

namespace {

int Typed(const Words& w, std::size_t i) { return static_cast<int>(w.integer(i)); }
int Address(const Words& w) { return Typed(w, 2) + kSensorAddressOffset; }

// Tokenizes the reply; true when token 0 is the success word, otherwise prints the refusal.
bool Acknowledged(Session& s, std::string_view word) {
    if (s.tokenize().is(0, word)) return true;
    s.print("Unable to comply\n");
    return false;
}

// One value line in the unit of the record's axis kind; nothing for a stage without one.
void PrintValue(Session& s, const Words& w, int channel, const char* label, const StageDriveRecord& record,
                double reading) {
    const std::string_view unit = UnitText(record.axisKind);
    if (unit.empty()) return;
    s.print("RSM %d, channel %d %s: %.9f%.*s\n", Typed(w, 2), channel, label,
            SensorValue(reading, record.scaleFactor), static_cast<int>(unit.size()), unit.data());
}

// MIR and MAR: the limit line of one channel with that channel's record.
void ReadLimit(Session& s, const Words& w, int channel, const StageDriveRecord& record, bool maximum) {
    if (maximum)
        s.exchange("MAR %d %d\r", Address(w), channel);
    else
        s.exchange("MIR %d %d\r", Address(w), channel);
    if (Acknowledged(s, maximum ? "_MAR" : "_MIR"))
        PrintValue(s, w, channel, maximum ? "maximum value" : "minimum value", record, s.tokens().real(1));
}

void PrintExcitation(Session& s, const Words& w) {
    const Tokens& t = s.tokens();
    if (s.developmentMode()) s.print("RSM %d, excitation frequency:  %d[Hz]\n", Typed(w, 2), t.integer(1));
    s.print("RSM %d, excitation duty-cycle: %d[%%]\n", Typed(w, 2), t.integer(2));
}

void ReadBitmask(Session& s, const Words& w, int channel) {
    s.exchange("SKR %d %d\r", Address(w), channel);
    if (Acknowledged(s, "_SKR"))
        s.print("RSM %d, channel %d bitmask: %d[LSB]\n", Typed(w, 2), channel, s.tokens().integer(1));
}

// Builds the records of the three stage words that follow ADDR (PGVA, INF).
void BuildThreeRecords(Session& s, const Words& w) {
    for (std::size_t c = 0; c < 3; ++c) BuildStageDriveRecord(s.state().stages[c], w.word(3 + c));
}

}  // namespace

double SensorValue(double reading, double scaleFactor) {
    return reading * scaleFactor * 0.000000059604644775390625 * 0.000001;
}

std::string_view UnitText(char axisKind) {
    if (axisKind == 'L') return "[m]";
    if (axisKind == 'R') return "[rad]";
    return {};
}

double SampleTime(long n) { return static_cast<double>(n) * 2048 * 0.0000001; }

void HandlePGV(Session& s, const Words& w) {
    StageDriveRecord& record = s.state().stages[0];
    BuildStageDriveRecord(record, w.word(4));
    const int channel = Typed(w, 3);
    s.exchange("PGV %d %d\r", Address(w), channel);
    if (Acknowledged(s, "_PGV")) PrintValue(s, w, channel, "value", record, s.tokens().real(1));
}

void HandlePGVA(Session& s, const Words& w) {
    BuildThreeRecords(s, w);
    s.exchange("PGVA %d\r", Address(w));
    if (!Acknowledged(s, "_PGVA")) return;
    for (int c = 1; c <= 3; ++c) PrintValue(s, w, c, "value", s.state().stages[c - 1], s.tokens().real(c));
}

void HandleEXS(Session& s, const Words& w) {
    // Two arguments: ADDR DUTY at the fixed frequency; three (development mode): ADDR FREQ DUTY.
    const bool withFrequency = w.argCount() == 3;
    const int frequency = withFrequency ? Typed(w, 3) : kDefaultExcitationHz;
    const int duty = Typed(w, withFrequency ? 4 : 3);
    s.exchange("EXS %d %d %d\r", Address(w), frequency, duty);
    if (!Acknowledged(s, "_EXS")) return;
    if (s.developmentMode())
        s.print("Excitation frequency and duty-cycle for RSM %d has been set\n", Typed(w, 2));
    else
        s.print("Excitation duty-cycle for RSM %d has been set\n", Typed(w, 2));
}

void HandleEXR(Session& s, const Words& w) {
    s.exchange("EXR %d\r", Address(w));
    if (Acknowledged(s, "_EXR")) PrintExcitation(s, w);
}

void HandleMIS(Session& s, const Words& w) {
    s.exchange("MIS %d %d\r", Address(w), Typed(w, 3));
    if (Acknowledged(s, "_MIS"))
        s.print("Minimum value for RSM %d, channel %d has been set\n", Typed(w, 2), Typed(w, 3));
}

void HandleMAS(Session& s, const Words& w) {
    s.exchange("MAS %d %d\r", Address(w), Typed(w, 3));
    if (Acknowledged(s, "_MAS"))
        s.print("Maximum value for RSM %d, channel %d has been set\n", Typed(w, 2), Typed(w, 3));
}

void HandleMIR(Session& s, const Words& w) {
    BuildStageDriveRecord(s.state().stages[0], w.word(4));
    ReadLimit(s, w, Typed(w, 3), s.state().stages[0], false);
}

void HandleMAR(Session& s, const Words& w) {
    BuildStageDriveRecord(s.state().stages[0], w.word(4));
    ReadLimit(s, w, Typed(w, 3), s.state().stages[0], true);
}

void HandleMMR(Session& s, const Words& w) {
    s.exchange("MMR %d %d\r", Address(w), Typed(w, 3));
    if (Acknowledged(s, "_MMR"))
        s.print("Minimum and maximum values for RSM %d, channel %d have been reset\n", Typed(w, 2),
                Typed(w, 3));
}

void HandleSKS(Session& s, const Words& w) {
    s.exchange("SKS %d %d %d\r", Address(w), Typed(w, 3), Typed(w, 4));
    if (Acknowledged(s, "_SKS"))
        s.print("Bitmask for RSM %d, channel %d has been set\n", Typed(w, 2), Typed(w, 3));
}

void HandleSKR(Session& s, const Words& w) { ReadBitmask(s, w, Typed(w, 3)); }

void HandleHFM(Session& s, const Words& w) {
    StageDriveRecord& record = s.state().stages[0];
    BuildStageDriveRecord(record, w.word(4));
    const int address = Address(w);
    const int channel = Typed(w, 3);
    s.exchange("BUF %d %d\r", address, channel);
    const Tokens& t = s.tokenize();
    s.sleepMs(500);
    if (!t.is(0, "_BUF")) {
        s.print("Unable to comply\n");
        return;
    }
    s.print("High frequency measurement RSM %d, channel %d\n", Typed(w, 2), channel);
    const std::string_view unit = UnitText(record.axisKind);
    // A stage without an axis kind has no sample line to print, and its kind character would be
    // a zero byte that cuts the request line before its carriage return; so nothing is read.
    if (unit.empty()) return;
    long n = 0;
    int requests = 0;
    while (!t.is(1, "FINISHED")) {
        if (n >= kMaxRecordedSamples) {
            s.print("High frequency measurement stopped after %ld samples: no end of recording reported\n",
                    n);
            return;
        }
        if (requests >= kMaxSampleRequests) {
            s.print("High frequency measurement aborted: sample %ld not delivered after %d requests\n", n,
                    requests);
            return;
        }
        s.exchange("BUR %d %ld %E %c\r", address, n, record.scaleFactor, record.axisKind);
        s.tokenize();
        ++requests;
        if (!t.is(0, "_BUR")) continue;  // the same sample is requested again
        if (t.is(1, "FINISHED")) break;
        s.print("%.9f[s]\t%d[bit]\t%.9f%.*s\n", SampleTime(n), t.integer(1),
                SensorValue(t.real(1), record.scaleFactor), static_cast<int>(unit.size()), unit.data());
        ++n;
        requests = 0;
    }
}

void HandleRSS(Session& s, const Words& w) {
    s.exchange("RSS %d\r", Address(w));
    if (Acknowledged(s, "_RSS")) s.print("Settings for RSM %d have been stored in flash\n", Typed(w, 2));
}

void HandleINF(Session& s, const Words& w) {
    BuildThreeRecords(s, w);
    s.exchange("EXR %d\r", Address(w));
    if (Acknowledged(s, "_EXR")) PrintExcitation(s, w);
    for (int c = 1; c <= 3; ++c) {
        ReadLimit(s, w, c, s.state().stages[c - 1], false);
        ReadLimit(s, w, c, s.state().stages[c - 1], true);
    }
    if (!s.developmentMode()) return;
    for (int c = 1; c <= 3; ++c) ReadBitmask(s, w, c);
}

}  // namespace vm::cli
