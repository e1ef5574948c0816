#include "gui/scan_modules_form.h"

#include <QProgressBar>
#include <QVBoxLayout>

namespace vm::gui {

TFormScanModules::TFormScanModules(QWidget* parent) : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint) {
    setObjectName("FormScanModules");
    setWindowTitle("Scanning for Available Channels ........");
    progress_ = new QProgressBar(this);
    progress_->setObjectName("progress");
    progress_->setRange(0, 9);
    progress_->setValue(0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(progress_);
    resize(330, 60);
    move(250, 250);
}

void TFormScanModules::setProgress(int value) { progress_->setValue(value); }

int TFormScanModules::progress() const { return progress_->value(); }

}  // namespace vm::gui
