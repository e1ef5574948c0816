#pragma once
// The module diagnostic: which drive modules answer, the status of each of their channels and
// whether each channel's encoder counter answers. Runs on its own thread and touches no widget:
// every line, list item and tab it finds is a signal, applied on the main thread in order.
#include <QList>
#include <QString>
#include <QThread>

namespace vm::gui {

struct AppContext;

class TModuleDiagnostic final : public QThread {
    Q_OBJECT

  public:
    explicit TModuleDiagnostic(AppContext& context, QObject* parent = nullptr);

  Q_SIGNALS:
    void line(const QString& text);
    // The drive modules that answered, in ascending order.
    void modulesDetected(const QList<int>& addresses);
    void amplifierChannel(const QString& item);
    void encoderChannel(const QString& item);
    // No drive module answered: nothing can be measured.
    void noModules();
    void showEncoderTab();
    void showDriverTab();

  protected:
    void run() override;

  private:
    AppContext& context_;
};

}  // namespace vm::gui
