#pragma once
// The small always-on-top window that shows the progress of a module scan (modules 0 to 9).
#include <QWidget>

class QProgressBar;

namespace vm::gui {

class TFormScanModules final : public QWidget {
    Q_OBJECT

  public:
    explicit TFormScanModules(QWidget* parent = nullptr);
    void setProgress(int value);
    int progress() const;

  private:
    QProgressBar* progress_;
};

}  // namespace vm::gui
