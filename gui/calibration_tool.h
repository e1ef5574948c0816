#pragma once
// Finds and starts the command-line tool for the automatic encoder calibration, with an argument
// vector and never through a shell. With a display and a terminal emulator the tool runs in a
// terminal window of its own; otherwise in a window of this program that shows the tool's output
// as it comes and has a button that sends Enter.
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

    // Tests and headless runs keep the tool in the program's own window.
    bool allowTerminal = true;

    // Starts the program with the arguments; false when it could not be started.
    bool start(const QString& program, const QStringList& arguments);
    bool running() const;
    // The output window (nullptr while none was needed) and what it shows.
    QWidget* outputWindow() const { return window_.get(); }
    QString output() const;
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
};

}  // namespace vm::gui
