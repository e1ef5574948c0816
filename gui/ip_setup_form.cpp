#include "gui/ip_setup_form.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <optional>

#include "gui/app_context.h"
#include "gui/grid_layout.h"
#include "gui/main_form.h"

namespace vm::gui {

namespace {

constexpr std::uint8_t kDynamicMode = 255;
constexpr std::uint8_t kStaticMode = 2;

}  // namespace

TFormIPSetup::TFormIPSetup(AppContext& context, TMainForm& mainForm)
    : QDialog(nullptr), context_(context), main_(mainForm) {
    setObjectName("FormIPSetup");
    setWindowTitle("IP Setup");
    auto* layout = new QVBoxLayout(this);

    auto* select = new QGroupBox("IP select", this);
    auto* selectLayout = new QVBoxLayout(select);
    dynamic_ = new QRadioButton("Use Dynamic IP adress (DHCP)", select);
    dynamic_->setObjectName("radioDynamic");
    static_ = new QRadioButton("Use Static IP adress", select);
    static_->setObjectName("radioStatic");
    dynamic_->setChecked(true);
    selectLayout->addWidget(dynamic_);
    selectLayout->addWidget(static_);
    layout->addWidget(select);

    auto* staticGroup = new QGroupBox("Static IP", this);
    auto* grid = new QGridLayout(staticGroup);
    const char* rows[] = {"IP Adress", "Subnet Mask", "Gateway"};
    auto* digitsOnly = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    for (int r = 0; r < 3; ++r) {
        grid->addWidget(new QLabel(rows[r], staticGroup), r, 0);
        for (int i = 0; i < 4; ++i) {
            auto* edit = new QLineEdit("0", staticGroup);
            edit->setObjectName(QString("octet%1").arg(r * 4 + i));
            edit->setValidator(digitsOnly);
            edit->setMaxLength(3);
            edit->setFixedWidth(44);
            edit->setEnabled(false);
            connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
                if (DecimalValue(text) >= 256) edit->setText("0");
            });
            grid->addWidget(edit, r, i + 1);
            octets_[static_cast<std::size_t>(r * 4 + i)] = edit;
        }
    }
    layout->addWidget(staticGroup);

    auto* buttons = new QHBoxLayout;
    auto* use = new QPushButton("Use Settings", this);
    use->setObjectName("buttonUseSettings");
    use->setAutoDefault(false);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("buttonCancel");
    cancel->setAutoDefault(false);
    buttons->addWidget(use);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    // The enable rule also runs when the dialog checks a button while filling itself.
    connect(dynamic_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) setOctetsEnabled(false);
    });
    connect(static_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) setOctetsEnabled(true);
    });
    connect(use, &QPushButton::clicked, this, &TFormIPSetup::useSettings);
    connect(cancel, &QPushButton::clicked, this, &TFormIPSetup::closeToMain);
}

void TFormIPSetup::setOctetsEnabled(bool enabled) {
    for (QLineEdit* edit : octets_) edit->setEnabled(enabled);
}

void TFormIPSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    context_.runner.run(
        [&ctx = context_]() -> std::optional<NetworkSettings> {
            if (!ctx.pci.ReadNetwork()) return std::nullopt;
            return ctx.pci.networkSettings();
        },
        this,
        [this](std::optional<NetworkSettings> settings) {
            if (settings) {
                const std::uint8_t mode = (*settings)[0];
                if (mode < kStaticMode)
                    dynamic_->setChecked(true);
                else if (mode == kStaticMode)
                    static_->setChecked(true);
                for (std::size_t i = 0; i < octets_.size(); ++i)
                    octets_[i]->setText(QString::number((*settings)[i + 1]));
            }
            Q_EMIT settingsRead(settings.has_value());
        });
}

void TFormIPSetup::useSettings() {
    NetworkSettings settings{};
    if (dynamic_->isChecked())
        settings[0] = kDynamicMode;
    else if (static_->isChecked())
        settings[0] = kStaticMode;
    for (std::size_t i = 0; i < octets_.size(); ++i)
        settings[i + 1] = static_cast<std::uint8_t>(DecimalValue(octets_[i]->text()));
    context_.runner.run(
        [&ctx = context_, settings] {
            ctx.pci.setNetworkSettings(settings);
            ctx.pci.WriteNetwork();
        },
        this, [this] { closeToMain(); });
}

void TFormIPSetup::closeToMain() {
    close();
    main_.raise();
    main_.activateWindow();
}

}  // namespace vm::gui
