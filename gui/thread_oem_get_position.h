#pragma once
// The position monitor that follows a move: it polls the module (and its encoder counter when an
// encoder module serves it) every 100 ms until the move ends or the stop request is set, then
// stops the module, asks the main window to give the move controls back and reads the counter
// once more. It runs on its own thread and changes no widget: the counter and the end of the
// move are signals, applied on the main thread.
#include <QThread>
#include <atomic>
#include <cstdint>

namespace vm::gui {

struct AppContext;

class TOEMGetPosition final : public QThread {
    Q_OBJECT

  public:
    static constexpr std::uint32_t kPollMs = 100;
    static constexpr int kStopAttempts = 10;

    // Follows the channel of grid row `row` (1-based). `stopRequest` belongs to the main window,
    // which outlives the thread.
    TOEMGetPosition(AppContext& context, int row, const std::atomic<bool>& stopRequest,
                    QObject* parent = nullptr);

  Q_SIGNALS:
    // The encoder counter of the followed row.
    void counter(int row, int count);
    // The module has been stopped (or did not stop after every attempt): the move controls can
    // come back.
    void moveEnded();

  protected:
    // An interruption (the program is closing, or another monitor takes over) ends the thread
    // after the exchange under way: nothing more is sent and nothing more is signalled.
    void run() override;

  private:
    AppContext& context_;
    const int row_;
    const std::atomic<bool>& stopRequest_;
};

}  // namespace vm::gui
