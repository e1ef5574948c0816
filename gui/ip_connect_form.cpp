#include "gui/ip_connect_form.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <utility>

#include "gui/app_context.h"
#include "gui/main_form.h"

namespace vm::gui {

TFormIPConnect::TFormIPConnect(AppContext& context, TMainForm& mainForm)
    : QDialog(nullptr), context_(context), main_(mainForm) {
    setObjectName("FormIPConnect");
    setWindowTitle("Manual IP Connect to adress");
    auto* layout = new QVBoxLayout(this);
    address_ = new QLineEdit("0.0.0.0", this);
    address_->setObjectName("editAddress");
    layout->addWidget(address_);
    auto* buttons = new QHBoxLayout;
    connect_ = new QPushButton("Connect", this);
    connect_->setObjectName("buttonConnect");
    // No default button: Enter in the edit must connect once, not once more through a button.
    connect_->setAutoDefault(false);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("buttonCancel");
    cancel->setAutoDefault(false);
    buttons->addWidget(connect_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(connect_, &QPushButton::clicked, this, &TFormIPConnect::connectToAddress);
    connect(address_, &QLineEdit::returnPressed, this, &TFormIPConnect::connectToAddress);
    connect(cancel, &QPushButton::clicked, this, &QDialog::close);
}

void TFormIPConnect::connectToAddress() {
    if (connecting_) return;
    connecting_ = true;
    connect_->setEnabled(false);
    const std::string address = address_->text().toStdString();
    struct Outcome {
        bool opened = false;
        QString identifier;
    };
    context_.runner.run(
        [&ctx = context_, address] {
            ctx.current.replace(nullptr);  // the old link is closed and destroyed first
            Outcome outcome;
            auto link = ctx.links.create(LinkKind::Lan);
            if (link) {
                outcome.opened = link->Open(address);
                outcome.identifier = QString::fromLatin1(link->devices()[0].view());
                link->selector().assign(link->devices()[0].view());
            }
            ctx.current.replace(std::move(link));
            return outcome;
        },
        this,
        [this](Outcome outcome) {
            if (!outcome.opened)
                context_.prompts.message(this, "No Ethernet devices found", kProgramTitle, PromptIcon::Error);
            main_.setConnectedCaption(outcome.identifier);
            main_.setLinkDescription(LinkKind::Lan, outcome.identifier);
            main_.startModuleScan();
            connecting_ = false;
            connect_->setEnabled(true);
            close();
            main_.raise();
            main_.activateWindow();
        });
}

}  // namespace vm::gui
