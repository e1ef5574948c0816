#pragma once
// The emergency panel: drives the main window's selected channel a short way counter-clockwise to
// free an actuator that sits at its end of stroke. The main window is disabled while the panel is
// shown and enabled again however the panel closes.
#include <QDialog>
#include <cstdint>

class QPushButton;

namespace vm::gui {

struct AppContext;
class TMainForm;

class TFormEmergencyPanel final : public QDialog {
    Q_OBJECT

  public:
    static constexpr std::uint32_t kCountDirectionWaitMs = 5;
    static constexpr std::uint32_t kButtonsBackAfterMs = 1200;

    TFormEmergencyPanel(AppContext& context, TMainForm& mainForm);

    // "Free EOS: CCW": count down, 5 ms, buttons off, the fixed move, the position monitor,
    // 1200 ms, buttons on. Ignored while a run of it is under way.
    void freeEndOfStroke();
    bool busy() const { return busy_; }

  Q_SIGNALS:
    // The buttons are back after a "Free EOS: CCW".
    void freeEndOfStrokeDone();

  protected:
    void hideEvent(QHideEvent* event) override;

  private:
    void setButtons(bool enabled);

    AppContext& context_;
    TMainForm& main_;
    QPushButton* free_;
    QPushButton* exit_;
    bool busy_ = false;
};

}  // namespace vm::gui
