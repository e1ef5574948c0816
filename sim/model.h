#pragma once
// The state of the virtual rack and the registry of the command words it answers. Each module
// kind keeps its command words in its own file (front_end.cpp, drive_module.cpp,
// encoder_module.cpp, sensor_module.cpp) and adds them to the CommandTable through its Register
// function; commands.cpp calls every Register function once.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/closed_loop.h"
#include "sim/firmware.h"
#include "sim/rack.h"

namespace vm::sim {

// One user-memory record: the channel settings the desktop program stores and reads back.
struct ChannelRecord {
    int frequency = 200;
    int stepSize = 100;
    int temperature = 293;
    int paramB = 3;
    int paramA = 6000;
    std::string type = "PROFILE1";
    std::string tag = "-";
    int invert = 0;
};

struct FrontEnd {
    static constexpr int kChannels = 18;
    std::array<ChannelRecord, kChannels> memory{};  // working copy: "CSS" writes, "CLS" reads
    std::array<ChannelRecord, kChannels> flash{};   // committed copy: "STF" writes
    // Address mode (255 dynamic), IP address, subnet mask, gateway, most significant octet first.
    std::array<int, 13> network{255, 192, 168, 1, 100, 255, 255, 255, 0, 192, 168, 1, 1};
    std::string descriptor = "VMCS";  // the word "SUD" sets
    std::string version = "2.14";
};

struct DriveChannel {
    enum class Mode { Idle, Stepping, Dc, External };
    Mode mode = Mode::Idle;
    int direction = 0;
    int frequency = 0;
    int stepSize = 0;
    std::int64_t steps = 0;  // requested steps; 0 steps until stopped
    int riseTime = 0;
    std::string waveform;
    std::int64_t startUs = 0;
    std::int64_t stepsDone = 0;  // steps made in the current move
    int dcLevel = 0;
    std::int64_t totalSteps = 0;      // signed position in steps, for tests and sensors
    std::int64_t travelledSteps = 0;  // steps made in either direction, for calibration sampling
};

// The capacitance ("SCM", "RCV") and amplifier ("SAM", "RAV") measurements of a drive module.
// Each takes a while; the module's status answers "_SCM" or "_SAM" until it is done.
struct DriveMeasurement {
    enum class Kind { None, Capacitance, Amplifier };
    static constexpr std::int64_t kCapacitanceUs = 2'000'000;
    static constexpr std::int64_t kAmplifierUs = 8'000'000;
    Kind kind = Kind::None;  // the measurement running, until untilUs
    std::int64_t untilUs = 0;
    int channel = 1;
    std::array<int, 3> loadNf{1000, 1000, 1000};  // the actuator load on each channel; tests change it
    std::int64_t resultNf = 0;                    // the last finished capacitance measurement
    bool amplifierMeasured = false;
    // Point i (0 to 511) of the amplifier's transfer table: a ramp over the 8-bit range.
    // The push half (points 0 to 255) rises from 0 to the module's full scale of 227, the pull
    // half (256 to 511) falls back, as a real amplifier's transfer table does.
    static std::int64_t AmplifierValue(std::int64_t i) { return (i < 256 ? i : 511 - i) * 227 / 255; }
};

// Extended mode: "FBP" enters it with a rise time that its "FBM" moves use, "FBX" leaves it.
struct DriveExtendedMode {
    bool active = false;
    int riseTime = 0;
};

struct DriveModule {
    int channels = 3;  // descriptor
    std::array<DriveChannel, 3> channel{};
    int failsafe = 0;  // failsafe bits reported by "GFS"; tests set them
    std::string version = "3.05";
    DriveMeasurement measurement;
    DriveExtendedMode extended;
};

struct EncoderChannel {
    enum class Count { Hold, Up, Down };
    Count count = Count::Hold;
    std::int64_t counter = 0;  // the count itself; replies carry it offset by 131072
    int analog = 512;          // RVL value
    int gain = 128;
    int high = 180;
    int low = 60;
    // The detector settings in flash: "MSS" stores the working values, "MLS" loads them.
    int flashGain = 128;
    int flashHigh = 180;
    int flashLow = 60;
    // Levels of the optical signal before the post-detector gain (0 to 255); the rack settings
    // or a test lower them to model a weak signal (sim/optical_signal.h).
    double signalHigh = 100;
    double signalLow = 4;
};

// Calibration sampling of one encoder channel: pulses and high/low samples of the signal while
// the paired drive channel steps.
struct EncoderCalibration {
    bool running = false;
    int channel = 0;              // 1 to 3; 0 before the first "CAL"
    std::int64_t startSteps = 0;  // travelled steps of the drive channel at "CAL"
    std::int64_t pulses = 0;      // frozen at "CAS"
    int sampleHigh = 0;           // signal levels after the gain, taken at "CAL"
    int sampleLow = 0;
    bool detected = false;  // whether the detector turns the signal into pulses at that gain
};

struct EncoderModule {
    std::array<EncoderChannel, 3> channel{};
    std::string version = "1.12";
    int laserDutyCycle = 500;
    EncoderCalibration calibration;
};

struct SensorChannel {
    std::int64_t minimum = 8388608;
    std::int64_t maximum = 8388608;
    int bitmask = 0;  // low bits of the reading cleared, 0 to 24
};

// The settings "RSS" stores.
struct SensorSettings {
    int excitationHz = 5000;
    int excitationDuty = 50;  // percent; 0 switches the excitation off
    std::array<int, 3> bitmask{};
};

// A high-frequency recording: samples 204.8 us apart from startUs.
struct SensorRecording {
    int channel = 0;  // 0: nothing recorded yet
    std::int64_t startUs = 0;
    std::vector<std::int64_t> samples;
};

struct SensorModule {
    // Readings of a stage at position 0; the stage position of the drive module below moves them.
    std::array<std::int64_t, 3> reading{8388608, 8388608, 8388608};
    std::string version = "1.03";
    std::array<SensorChannel, 3> channel{};
    int excitationHz = 5000;
    int excitationDuty = 50;
    SensorSettings flash;
    SensorRecording recording;
};

struct Slot {
    ModuleKind kind = ModuleKind::Empty;
    DriveModule drive;
    EncoderModule encoder;
    SensorModule sensor;
};

struct Model {
    explicit Model(const RackConfig& rackConfig);

    RackConfig rack;
    FrontEnd front;
    std::array<Slot, RackConfig::kSlots> slots{};
    std::int64_t nowUs = 0;
    // The closed loop of the front end ("FBEN" and the other closed-loop lines).
    ClosedLoop closedLoop;
    // Called after "STF" and "IPS" so the controller can write its state file; false when the
    // write failed, and the command is then answered with an error instead of its acknowledgement.
    std::function<bool(const Model&)> persist;
    // The firmware-update state of every unit that took part in an update.
    FirmwareUnits firmware;

    // Slot 1 to 6 holding the kind, or nullptr.
    Slot* slot(std::int64_t number, ModuleKind kind);
    // Encoder and sensor modules: the wire address is the slot number plus 9.
    Slot* moduleAt(std::int64_t wireAddress, ModuleKind kind) { return slot(wireAddress - 9, kind); }

    // Moves the rack on to the given time: steps of running moves, counters that follow them.
    void advance(std::int64_t nowUs);
};

// One received command line split at blanks (runs of blanks count as one, a trailing blank
// before the carriage return is ignored).
class Request {
  public:
    explicit Request(std::string_view line);

    const std::string& word() const { return words_.empty() ? empty_ : words_[0]; }
    // Number of words after the command word.
    int argCount() const { return static_cast<int>(words_.size()) - 1; }
    // Argument i (0 is the first word after the command word); empty past the end.
    const std::string& arg(int i) const;
    // Argument i as a decimal integer with an optional sign; nullopt when it is not one.
    std::optional<std::int64_t> integer(int i) const;
    // True when the last word is the given text (for the "OEMC" and "lowlevel" suffixes).
    bool endsWith(std::string_view suffix) const;
    const std::string& line() const { return line_; }

  private:
    std::string line_;
    std::vector<std::string> words_;
    std::string empty_;
};

// Reply helpers: every reply ends with a carriage return.
std::string Ack(std::string_view word);  // "_WORD\r"
std::string Ack(std::string_view word, const std::vector<std::int64_t>& values);
inline const std::string kNotFound = "MNF\r";
inline const std::string kCannotRead = "CNR\r";

class CommandTable {
  public:
    using Handler = std::function<std::string(Model&, const Request&)>;
    void add(std::string word, Handler handler) { handlers_[std::move(word)] = std::move(handler); }
    const Handler* find(const std::string& word) const;
    std::vector<std::string> words() const;

  private:
    std::map<std::string, Handler> handlers_;
};

void RegisterFrontEndCommands(CommandTable& table);
void RegisterDriveCommands(CommandTable& table);
void RegisterEncoderCommands(CommandTable& table);
void RegisterSensorCommands(CommandTable& table);
void RegisterClosedLoopCommands(CommandTable& table);
// All of the above.
void RegisterCommands(CommandTable& table);

}  // namespace vm::sim
