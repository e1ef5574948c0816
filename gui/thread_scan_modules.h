#pragma once
// The module scan: asks the front end which modules are installed and reads, for every channel
// of every drive module that answers, its user-memory record and its encoder counter. It runs on
// its own thread and changes no widget: every step that the grid, the progress window or the
// main window shows is a signal, applied on the main thread in the order it was sent.
#include <QString>
#include <QThread>

namespace vm::gui {

struct AppContext;

class TModuleScan final : public QThread {
    Q_OBJECT

  public:
    explicit TModuleScan(AppContext& context, QObject* parent = nullptr);

  Q_SIGNALS:
    void progress(int module);
    // The grid holds this many channel rows; new rows start hidden.
    void channelRows(int count);
    // Grid rows are 1-based channel rows.
    void cell(int row, int column, const QString& text);
    void rowShown(int row);
    void scanned(int modulesFound, int countersRead);

  protected:
    void run() override;

  private:
    AppContext& context_;
};

}  // namespace vm::gui
