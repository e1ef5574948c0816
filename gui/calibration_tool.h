#pragma once
// Finds and starts the command-line tool for the automatic encoder calibration, with an argument
// vector and never through a shell. The tool runs in a window of this program that shows the
// tool's output as it comes, keeps it after the tool has ended and has a button that sends Enter;
// so the calibration's outcome and the tool's exit status stay readable. A terminal window of its
// own is an option (allowTerminal), where the exit status seen is the terminal's.
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

class QPlainTextEdit;
class QPushButton;

namespace vm::gui {

// The program next to this program's executable, else the first one on PATH; empty when neither.
QString FindTool(const QString& name);
// A terminal emulator that runs a program and stays until it ends, when a display is there.
QString FindTerminal();

class CalibrationTool final : public QObject {
    Q_OBJECT

  public:
    explicit CalibrationTool(QObject* parent = nullptr);
    ~CalibrationTool() override;

    // Run the tool in a terminal emulator when a display and one are there.
    bool allowTerminal = false;

    // Starts the program with the arguments; false when it could not be started.
    bool start(const QString& program, const QStringList& arguments);
    bool running() const;
    // The output window (nullptr while none was needed) and what it shows.
    QWidget* outputWindow() const { return window_.get(); }
    QString output() const;
    // How the last run ended, for the window's status ("vmcli ended with exit code 0"); empty
    // while none has ended.
    QString outcome() const { return outcome_; }
    // What the window's Enter button does.
    void sendEnter();

  Q_SIGNALS:
    // The tool's process (or its terminal) has ended.
    void finished(int exitCode);

  private:
    void showOutput();
    void appendOutput();

    std::unique_ptr<QProcess> process_;
    std::unique_ptr<QWidget> window_;
    QPlainTextEdit* text_ = nullptr;
    QPushButton* enter_ = nullptr;
    QString outcome_;
};

}  // namespace vm::gui
