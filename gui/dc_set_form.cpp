#include "gui/dc_set_form.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "gui/app_context.h"
#include "gui/main_form.h"

namespace vm::gui {

namespace {
constexpr int kMostChannels = 3;
}

QStringList AnsweringChannels(AppContext& context) {
    // One unit under the operation lock, so the descriptor read is the one this request got.
    auto lock = context.current.hold();
    VMDM& vmdm = context.vmdm;
    std::vector<std::uint8_t> modules;
    for (std::uint8_t a = 1; a <= 6; ++a)
        if (!vmdm.Status(a)) modules.push_back(a);
    QStringList labels;
    for (const std::uint8_t a : modules) {
        vmdm.ReadDescriptor(a);
        const int channels = std::min<int>(vmdm.descriptor(), kMostChannels);
        for (int c = 1; c <= channels; ++c)
            if (!vmdm.Status(a)) labels << QString("%1%2").arg(a).arg(QChar('@' + c));
    }
    return labels;
}

TFormDCSet::TFormDCSet(AppContext& context, TMainForm& mainForm)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      context_(context),
      main_(mainForm) {
    setObjectName("FormDCSet");
    setWindowTitle("Set DC Value");
    auto* layout = new QHBoxLayout(this);
    channels_ = new QListWidget(this);
    channels_->setObjectName("listChannels");
    channels_->setFixedWidth(60);
    layout->addWidget(channels_);

    auto* right = new QVBoxLayout;
    auto* levelRow = new QHBoxLayout;
    level_ = new QSlider(Qt::Horizontal, this);
    level_->setObjectName("trackLevel");
    level_->setRange(0, kLevelMax);
    level_->setTickInterval(kLevelTick);
    level_->setTickPosition(QSlider::TicksBelow);
    level_->setValue(kLevelStart);
    level_->setMinimumWidth(220);
    level_->installEventFilter(this);
    value_ = new QLabel(QString::number(kLevelStart), this);
    value_->setObjectName("labelValue");
    value_->setMinimumWidth(40);
    levelRow->addWidget(level_, 1);
    levelRow->addWidget(value_);
    right->addLayout(levelRow);

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        buttons->addWidget(b);
        return b;
    };
    close_ = button("buttonClose", "Close");
    reset_ = button("buttonReset", "Reset");
    set_ = button("buttonSet", "Set");
    right->addLayout(buttons);
    layout->addLayout(right, 1);

    connect(channels_, &QListWidget::itemClicked, this, &TFormDCSet::chooseChannel);
    connect(set_, &QPushButton::clicked, this, &TFormDCSet::sendLevel);
    connect(reset_, &QPushButton::clicked, this, &TFormDCSet::resetLevel);
    connect(close_, &QPushButton::clicked, this, [this] {
        hide();
        main_.raise();
        main_.activateWindow();
    });
}

std::string TFormDCSet::DcLine(Channel channel, int level) {
    // The line is a move whose step-size field carries the level, with rise time 10 and the
    // waveform word "DC".
    constexpr int kRiseTime = 10;
    char line[80];
    std::snprintf(line, sizeof line, "MOV %d %s %s %d %s %d %d %s\r", channel.module, "1", "100", level, "0",
                  kRiseTime, channel.channel, "DC");
    return line;
}

void TFormDCSet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    fillChannels();
}

void TFormDCSet::fillChannels() {
    channels_->clear();
    context_.runner.run([&ctx = context_] { return AnsweringChannels(ctx); }, this,
                        [this](const QStringList& labels) {
                            channels_->clear();
                            channels_->addItems(labels);
                            Q_EMIT channelsListed();
                        });
}

void TFormDCSet::chooseChannel(QListWidgetItem* item) {
    // A click that leaves no item (or an item of another shape) changes nothing.
    if (!item) return;
    const QString text = item->text();
    if (text.size() < 2) return;
    dcChannel_ = {text[0].unicode() - '0', text[1].unicode() - '@'};
    set_->setEnabled(true);
    reset_->setEnabled(true);
}

void TFormDCSet::sendLevel() { send(DcLine(dcChannel_, level_->value())); }

void TFormDCSet::resetLevel() {
    level_->setValue(kLevelStart);
    value_->setText(QString::number(kLevelStart));
    char line[40];
    std::snprintf(line, sizeof line, "STP %d %d\r", dcChannel_.module, dcChannel_.channel);
    send(line);
}

void TFormDCSet::applyTrackBar() {
    value_->setText(QString::number(level_->value()));
    sendLevel();
}

bool TFormDCSet::eventFilter(QObject* watched, QEvent* event) {
    if (watched == level_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            applyTrackBar();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TFormDCSet::send(std::string line) {
    context_.runner.run([&ctx = context_, line = std::move(line)] {
        ctx.current.access([&line](COM_METHOD* link) {
            if (!link) return;
            link->command().assign(line);
            link->Exchange();
        });
    });
}

}  // namespace vm::gui
