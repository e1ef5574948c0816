#pragma once
// The DC-level dialog: puts a constant drive level on one channel and removes it again. Its lines
// go straight through the link's Exchange; their replies are neither parsed nor judged.
#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <string>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QSlider;

namespace vm::gui {

struct AppContext;
class TMainForm;

class TFormDCSet final : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kLevelMax = 1023;
    static constexpr int kLevelTick = 102;
    static constexpr int kLevelStart = 238;

    TFormDCSet(AppContext& context, TMainForm& mainForm);

    // The channel the DC lines address: module and channel, both 0 until one is chosen.
    struct Channel {
        int module = 0;
        int channel = 0;
    };
    Channel dcChannel() const { return dcChannel_; }

    // "Set": the DC line with the track bar's position (the value label stays as it is).
    void sendLevel();
    // "Reset": track bar and label back to 238, then "STP m c".
    void resetLevel();
    // Enter on the track bar: the label shows the position, then the DC line.
    void applyTrackBar();
    // A click on an item of the channel list ("1A" to "6C").
    void chooseChannel(QListWidgetItem* item);

    // "MOV m 1 100 level 0 10 c DC\r".
    static std::string DcLine(Channel channel, int level);

  Q_SIGNALS:
    // The channel list has been filled after the dialog was shown.
    void channelsListed();

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void fillChannels();
    void send(std::string line);

    AppContext& context_;
    TMainForm& main_;
    Channel dcChannel_;
    QListWidget* channels_;
    QSlider* level_;
    QLabel* value_;
    QPushButton* set_;
    QPushButton* reset_;
    QPushButton* close_;
};

// The labels ("1A") of every channel that answers: the modules 1 to 6 that answer a status
// request, and for each of them the channels up to its descriptor that answer one more. A
// descriptor above 3 counts as 3, the most channels a module has.
QStringList AnsweringChannels(AppContext& context);

}  // namespace vm::gui
