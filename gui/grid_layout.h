#pragma once
// The actuator grid: its columns, the channel that a row stands for, and the check that every
// keystroke in an edited cell goes through.
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>

namespace vm::gui {

// Columns of the grid.
enum GridColumn : int {
    kColSel = 0,
    kColChan = 1,
    kColTag = 2,
    kColType = 3,
    kColTemperature = 4,
    kColFrequency = 5,
    kColStepSize = 6,
    kColSteps = 7,
    kColParamA = 8,
    kColCounter = 9,
    kColQuality = 10,
};

struct GridColumnSpec {
    const char* header;
    int width;  // 0: never visible
};

inline constexpr std::array<GridColumnSpec, 11> kGridColumns{{
    {"Sel", 30},
    {"Chan", 40},
    {"Tag", 80},
    {"Type", 75},
    {"T [K]", 55},
    {"f [Hz]", 55},
    {"R [%]", 55},
    {"N [-]", 55},
    {"TR", 0},
    {"inc []", 70},
    {"q [%]", 0},
}};

// Columns shown after start-up, and after a scan that read more than two counters.
inline constexpr int kColumnsAtStart = 8;
inline constexpr int kColumnsWithCounter = 10;
inline constexpr int kRowHeight = 18;
// The marker column is rewritten for this many rows on every press and scan.
inline constexpr int kMarkerRows = 150;
inline constexpr int kLastChannelRow = 18;

// Row r (1-based channel row) belongs to module (r - 1) div 3 + 1, channel r - 3 (m - 1).
struct ChannelAddress {
    std::uint8_t module;
    std::uint8_t channel;
};
ChannelAddress ChannelOfRow(int row);
// "1A", "2C": the module digit and the channel letter.
QString ChannelLabel(int row);

// Whether a column's cells can be edited.
bool IsEditableColumn(int column);

// The outcome of checking an edited cell's text: the text the cell holds afterwards and the
// messages shown, in order (all with the title "Error" and an error icon).
struct CellCheck {
    QString text;
    QStringList messages;
};
CellCheck CheckCell(int column, const QString& text);

// The decimal conversion of cell texts: leading white space, an optional sign, the digits up to
// the first non-digit, 0 when there are none. Values past the range of a long saturate.
long DecimalValue(const QString& text);

}  // namespace vm::gui
