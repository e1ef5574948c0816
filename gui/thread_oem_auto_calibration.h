#pragma once
// The hand-over of the controller to the command-line tool for the automatic encoder calibration:
// the thread closes the current link (so the other process can open the device), then waits until
// the window reports that the tool's process has ended, then reopens the link every 2 s until it
// opens, at most 10 minutes. A cancel only decides that the link stays closed once the tool has
// ended; while the tool runs the window keeps its link closed whatever happens. Starting the tool
// is the window's part (CalibrationTool), on the main thread.
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace vm {
class COM_METHOD;
}

namespace vm::gui {

// How the controller changes hands: the device selector the tool is given (without the "@"), and
// the name the link is opened with again afterwards.
struct Handover {
    std::string toolSelector;
    std::string reopenName;
};
// The hand-over for this link, or nothing when it cannot be handed over (no selector). A pipe link
// (monitor mode) hands the tool the monitor itself, "CMON:" and the pipe name: the monitor serves
// one client at a time, so the tool is served while this program's link stays closed.
std::optional<Handover> HandoverOf(COM_METHOD& link);

struct AppContext;

// The tool's words for an "OEMC" calibration of channel c of the encoder module in slot `slot` at
// temperature t: the selector word ("@" and the device selector), then
// "OEMC slot c PROFILE1 t 1 600".
QStringList CalibrationArguments(const QString& selector, int slot, int channel, int temperature);
// The tool names an encoder module by its own slot; the encoder module that serves the drive
// module in slot m sits in slot m + 1 (it answers at m + 10).
inline int EncoderSlot(int driveModule) { return driveModule + 1; }

class TOEMAutoCalibration final : public QThread {
    Q_OBJECT

  public:
    static constexpr std::uint32_t kReopenMs = 2000;
    static constexpr int kReopenAttempts = 300;  // 10 minutes of attempts 2 s apart

    explicit TOEMAutoCalibration(AppContext& context, QObject* parent = nullptr);
    ~TOEMAutoCalibration() override;

    // From the main thread: the tool's process has ended, or never started.
    void toolEnded() { toolEnded_.release(); }
    // From the main thread: once the tool has ended the link stays closed (reopening stops).
    void cancel();

  Q_SIGNALS:
    // The link is closed; selector is the device selector the tool is to use.
    void linkClosed(const QString& selector);
    // There was no link that could be handed over; it was left as it was and the thread ends.
    void refused();
    void reopening();
    void reopened();
    // No reopen: cancelled, or the attempts ran out.
    void gaveUp(bool cancelled);

  protected:
    void run() override;

  private:
    AppContext& context_;
    QSemaphore toolEnded_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace vm::gui
