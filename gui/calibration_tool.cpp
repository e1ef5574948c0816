#include "gui/calibration_tool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace vm::gui {

QString FindTool(const QString& name) {
    const QFileInfo beside(QDir(QCoreApplication::applicationDirPath()).filePath(name));
    if (beside.isFile() && beside.isExecutable()) return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(name);
}

QString FindTerminal() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return {};
    // xterm runs the program given after -e itself (no shell) and ends when it ends, so the
    // program's end is the terminal's end; terminals that hand the window to a server process
    // return at once and would make the hand-over reopen the link too early.
    return QStandardPaths::findExecutable("xterm");
}

CalibrationTool::CalibrationTool(QObject* parent) : QObject(parent) {}

CalibrationTool::~CalibrationTool() {
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->disconnect(this);
        process_->kill();
        process_->waitForFinished(5000);
    }
}

bool CalibrationTool::running() const { return process_ && process_->state() != QProcess::NotRunning; }

bool CalibrationTool::start(const QString& program, const QStringList& arguments) {
    if (running()) return false;
    process_ = std::make_unique<QProcess>();
    outcome_.clear();
    const QString terminal = allowTerminal ? FindTerminal() : QString();
    const QString tool = QFileInfo(program).fileName();
    connect(process_.get(), &QProcess::finished, this,
            [this, tool, inTerminal = !terminal.isEmpty()](int exitCode, QProcess::ExitStatus status) {
                if (inTerminal)
                    outcome_ = "the terminal of " + tool + " closed";
                else if (status == QProcess::CrashExit)
                    outcome_ = tool + " ended abnormally";
                else
                    outcome_ = tool + " ended with exit code " + QString::number(exitCode);
                Q_EMIT finished(exitCode);
            });
    if (!terminal.isEmpty()) {
        process_->setProgram(terminal);
        process_->setArguments(QStringList{"-T", "OEM Calibration Procedure", "-e", program} + arguments);
        process_->setStandardInputFile(QProcess::nullDevice());
        process_->setStandardOutputFile(QProcess::nullDevice());
        process_->setStandardErrorFile(QProcess::nullDevice());
    } else {
        showOutput();
        process_->setProgram(program);
        process_->setArguments(arguments);
        process_->setProcessChannelMode(QProcess::MergedChannels);
        connect(process_.get(), &QProcess::readyReadStandardOutput, this, &CalibrationTool::appendOutput);
    }
    process_->start();
    if (!process_->waitForStarted(10000)) {
        process_.reset();
        return false;
    }
    return true;
}

void CalibrationTool::showOutput() {
    if (!window_) {
        window_ = std::make_unique<QWidget>(nullptr, Qt::Window);
        window_->setObjectName("FormCalibrationTool");
        window_->setWindowTitle("OEM Calibration Procedure");
        text_ = new QPlainTextEdit(window_.get());
        text_->setObjectName("toolOutput");
        text_->setReadOnly(true);
        text_->setFont(QFont("Monospace"));
        enter_ = new QPushButton("Enter", window_.get());
        enter_->setObjectName("buttonEnter");
        connect(enter_, &QPushButton::clicked, this, &CalibrationTool::sendEnter);
        auto* layout = new QVBoxLayout(window_.get());
        layout->addWidget(text_, 1);
        layout->addWidget(enter_);
        window_->resize(640, 480);
    }
    text_->clear();
    window_->show();
}

void CalibrationTool::appendOutput() {
    if (!process_ || !text_) return;
    // Progress lines rewrite themselves with a carriage return on a console; here each becomes a
    // line of its own. Other control characters are shown as dots.
    QString text = QString::fromLocal8Bit(process_->readAllStandardOutput());
    text.replace('\r', '\n');
    for (QChar& ch : text)
        if (ch.unicode() < 0x20 && ch != '\n' && ch != '\t') ch = '.';
    text_->moveCursor(QTextCursor::End);
    text_->insertPlainText(text);
    text_->moveCursor(QTextCursor::End);
}

QString CalibrationTool::output() const { return text_ ? text_->toPlainText() : QString(); }

void CalibrationTool::sendEnter() {
    if (running()) process_->write("\n");
}

}  // namespace vm::gui
