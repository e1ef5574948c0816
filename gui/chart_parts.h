#pragma once
// The pieces the windows' charts are built from: a value axis and a line series attached to two
// axes, both owned by the chart.
#include <QAbstractAxis>
#include <QChart>
#include <QColor>
#include <QLineSeries>
#include <QString>
#include <QValueAxis>

namespace vm::gui {

QValueAxis* AddAxis(QChart* chart, Qt::Alignment side, double low, double high, const QString& title);
QLineSeries* AddSeries(QChart* chart, const QString& name, const QColor& color, QAbstractAxis* x,
                       QAbstractAxis* y);

}  // namespace vm::gui
