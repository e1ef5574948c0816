#include "gui/chart_parts.h"

#include <QChartView>
#include <QPen>
#include <QShowEvent>
#include <QSizeF>
#include <QVBoxLayout>

namespace vm::gui {

namespace {
constexpr QSizeF kNominalChartSize(640, 480);

void PlaceAxis(QChart* chart, QValueAxis* axis, Qt::Alignment side) {
    // A chart whose window has not been shown has no size yet, and every layout pass (one per
    // axis, range and series added, and the posted ones after) then shortens each axis title and
    // label character by character to fit nothing. A nominal size until the view sizes the chart
    // keeps the texts whole.
    if (chart->size().isEmpty()) chart->resize(kNominalChartSize);
    chart->addAxis(axis, side);
}

void PlaceSeries(QChart* chart, QLineSeries* series, const QColor& color, QAbstractAxis* x,
                 QAbstractAxis* y) {
    chart->addSeries(series);
    // After addSeries, which gives the series the theme's colour.
    series->setPen(QPen(color, 1.5));
    series->attachAxis(x);
    series->attachAxis(y);
}

}  // namespace

ChartPlace::ChartPlace(const QString& viewName, QWidget* parent) : QWidget(parent), viewName_(viewName) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

QValueAxis* ChartPlace::addAxis(Qt::Alignment side, double low, double high, const QString& title) {
    auto* axis = new QValueAxis(this);
    axis->setRange(low, high);
    axis->setTitleText(title);
    axes_.push_back({axis, side});
    return axis;
}

QLineSeries* ChartPlace::addSeries(const QString& name, const QColor& color, QAbstractAxis* x,
                                   QAbstractAxis* y) {
    auto* series = new QLineSeries(this);
    series->setName(name);
    series_.push_back({series, color, x, y});
    return series;
}

void ChartPlace::showEvent(QShowEvent* event) {
    if (!view_) build();
    QWidget::showEvent(event);
}

void ChartPlace::build() {
    auto* chart = new QChart;
    chart->legend()->hide();
    // The chart takes the axes and series over, with whatever ranges and points they were given
    // meanwhile.
    for (const Axis& a : axes_) PlaceAxis(chart, a.axis, a.side);
    for (const Series& s : series_) PlaceSeries(chart, s.series, s.color, s.x, s.y);
    axes_.clear();
    series_.clear();
    view_ = new QChartView(chart, this);
    view_->setObjectName(viewName_);
    layout()->addWidget(view_);
    // Shown with the place: a child made while its parent is being shown stays hidden otherwise.
    view_->show();
}

}  // namespace vm::gui
