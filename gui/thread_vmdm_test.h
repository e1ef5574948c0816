#pragma once
// The driver check: for every detected drive module, an optional one-second move and stop of each
// channel, the failsafe state with its explanation, and otherwise the load capacitance of each
// channel. Runs on its own thread; every line is a signal applied on the main thread.
#include <QString>
#include <QThread>
#include <cstdint>

#include "gui/diagnostic_state.h"

namespace vm::gui {

struct AppContext;

// The line for a measured load: in range 20 to 10000 nF its value, otherwise an error.
QString CapacitanceLine(std::uint16_t nanofarad);

class TVMDMTest final : public QThread {
    Q_OBJECT

  public:
    // driveSignal: whether "Enable drive signal on output" was checked when the check started.
    TVMDMTest(AppContext& context, const DetectedModules& modules, bool driveSignal,
              QObject* parent = nullptr);

  Q_SIGNALS:
    void line(const QString& text);

  protected:
    void run() override;

  private:
    AppContext& context_;
    DetectedModules modules_;
    bool driveSignal_;
};

}  // namespace vm::gui
