#pragma once
// A chart's place in a window: value axes and line series attached to two axes each, made at
// once, and the chart and its view, made when the place is first shown.
#include <QAbstractAxis>
#include <QChart>
#include <QColor>
#include <QLineSeries>
#include <QList>
#include <QString>
#include <QValueAxis>
#include <QWidget>

class QChartView;
class QShowEvent;

namespace vm::gui {

// Laying out a chart's axes costs more than building the rest of a window, and the windows are
// made at the program's start, hidden. The axes and series are made at once, so the window can
// fill and range them at any time, but the chart and its view only when the place is first
// shown; until then the place owns them.
class ChartPlace final : public QWidget {
  public:
    // `viewName` is the object name the view gets.
    ChartPlace(const QString& viewName, QWidget* parent);

    QValueAxis* addAxis(Qt::Alignment side, double low, double high, const QString& title);
    QLineSeries* addSeries(const QString& name, const QColor& color, QAbstractAxis* x, QAbstractAxis* y);
    // Null until the place has been shown.
    QChartView* view() const { return view_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void build();

    struct Axis {
        QValueAxis* axis;
        Qt::Alignment side;
    };
    struct Series {
        QLineSeries* series;
        QColor color;
        QAbstractAxis* x;
        QAbstractAxis* y;
    };
    QString viewName_;
    QList<Axis> axes_;
    QList<Series> series_;
    QChartView* view_ = nullptr;
};

}  // namespace vm::gui
