#include "gui/chart_parts.h"

#include <QPen>

namespace vm::gui {

QValueAxis* AddAxis(QChart* chart, Qt::Alignment side, double low, double high, const QString& title) {
    auto* axis = new QValueAxis(chart);
    axis->setRange(low, high);
    axis->setTitleText(title);
    chart->addAxis(axis, side);
    return axis;
}

QLineSeries* AddSeries(QChart* chart, const QString& name, const QColor& color, QAbstractAxis* x,
                       QAbstractAxis* y) {
    auto* series = new QLineSeries(chart);
    series->setName(name);
    chart->addSeries(series);
    // After addSeries, which gives the series the theme's colour.
    series->setPen(QPen(color, 1.5));
    series->attachAxis(x);
    series->attachAxis(y);
    return series;
}

}  // namespace vm::gui
