#include "gui/cabinet_select_form.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/app_context.h"
#include "gui/main_form.h"

namespace vm::gui {

TFormCabinetSelect::TFormCabinetSelect(AppContext& context, TMainForm& mainForm)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint),
      context_(context),
      main_(mainForm) {
    setObjectName("FormCabinetSelect");
    setWindowTitle("Select Vellumotor Control System ");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("Multiple systems have been detected.  ", this));
    layout->addWidget(new QLabel("Please select the device to connect with:", this));
    devices_ = new QComboBox(this);
    devices_->setObjectName("deviceList");
    layout->addWidget(devices_);
    auto* buttons = new QHBoxLayout;
    select_ = new QPushButton("Select", this);
    select_->setObjectName("buttonSelect");
    select_->setAutoDefault(false);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("buttonCancel");
    cancel->setAutoDefault(false);
    buttons->addWidget(select_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    setDevices({});
    connect(devices_, &QComboBox::activated, this,
            [this] { select_->setEnabled(devices_->currentIndex() >= 0); });
    connect(select_, &QPushButton::clicked, this, &TFormCabinetSelect::select);
    connect(cancel, &QPushButton::clicked, this, &QDialog::close);
}

void TFormCabinetSelect::setDevices(const QStringList& identifiers) {
    devices_->clear();
    devices_->addItems(identifiers);
    devices_->setCurrentIndex(-1);
    select_->setEnabled(false);
}

void TFormCabinetSelect::select() {
    const QString id = devices_->currentText();
    if (devices_->currentIndex() < 0) return;
    select_->setEnabled(false);
    context_.runner.run(
        [&ctx = context_, id] {
            const std::string name = id.toStdString();
            ctx.current.access([&name](COM_METHOD* link) {
                if (!link) return;
                link->Open(name);  // the result is not examined: a silent device fails the scan
                link->selector().assign(name);
            });
        },
        this,
        [this, id] {
            main_.setConnectedCaption(id);
            main_.setLinkSelector(id);
            close();
            main_.startModuleScan();
        });
}

}  // namespace vm::gui
