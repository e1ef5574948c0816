#pragma once
// The hand-over of the controller to the command-line tool for the automatic encoder calibration:
// the thread closes the current link (so the other process can open the device), then waits until
// the window reports that the tool's process has ended, then reopens the link with its selector
// every 2 s until it opens, at most 10 minutes or until cancelled. Starting the tool is the
// window's part (CalibrationTool), on the main thread.
#include <QSemaphore>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>

namespace vm::gui {

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
    // From the main thread: stop waiting and reopening; the link stays closed.
    void cancel();

  Q_SIGNALS:
    // The link is closed; selector is what it was opened with (empty without a link).
    void linkClosed(const QString& selector);
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
