#pragma once
// Answers a real modal QMessageBox the way a person does: once the box's own event loop runs, a
// zero-delay timer finds it as the active modal widget and hands it to the test, which reads its
// text and presses a button. Boxes opened from inside a widget's own signal are where re-entrancy
// faults live, and only a box that really runs its loop shows them.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>

namespace vm::gui::test {

// Calls `answer` with the next QMessageBox that becomes the active modal widget. The watcher gives
// up after `maxTurns` turns of the event loop, so a box that never opens cannot keep it alive.
// With `readingTurns`, the box's own loop runs that many turns before the answer, as it does while
// a person reads it: what the box's focus change set off (an editor ended and deleted) happens
// inside the box, where it does for a person.
inline void DismissNextMessageBox(std::function<void(QMessageBox&)> answer, int maxTurns = 200000,
                                  int readingTurns = 0) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(0);
    auto turns = std::make_shared<int>(0);
    auto read = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, answer = std::move(answer), turns, maxTurns, read, readingTurns] {
                         auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                         if (box == nullptr && ++*turns < maxTurns) return;
                         if (box != nullptr && (*read)++ < readingTurns) return;
                         timer->stop();
                         timer->deleteLater();
                         if (box != nullptr) answer(*box);
                     });
    timer->start();
}

// Presses the default button of the next box and keeps its text in `shown`.
inline void AcceptNextMessageBox(QString* shown) {
    DismissNextMessageBox([shown](QMessageBox& box) {
        if (shown != nullptr) *shown = box.text();
        box.accept();
    });
}

}  // namespace vm::gui::test
