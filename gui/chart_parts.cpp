#include "gui/chart_parts.h"

#include <QPen>
#include <QSizeF>

namespace vm::gui {

namespace {
constexpr QSizeF kNominalChartSize(640, 480);
}  // namespace

QValueAxis* AddAxis(QChart* chart, Qt::Alignment side, double low, double high, const QString& title) {
    // A chart whose window has not been shown has no size yet, and every layout pass (one per
    // axis, range and series added, and the posted ones after) then shortens each axis title and
    // label character by character to fit nothing: most of the desktop program's start went
    // there. A nominal size until the view sizes the chart keeps the texts whole.
    if (chart->size().isEmpty()) chart->resize(kNominalChartSize);
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
