#include "gui/grid_layout.h"

#include <cerrno>
#include <cstdlib>

namespace vm::gui {

namespace {

struct RangeRule {
    int column;
    long low;
    long high;
    bool refuseLeadingZero;
    const char* message;
};

constexpr RangeRule kRangeRules[] = {
    {kColFrequency, 0, 600, false, "Input denied\n 0 <= F <=600"},
    {kColTemperature, 0, 300, false, "Input denied\n 0 <= T <=300"},
    {kColStepSize, 0, 100, false, "Input denied\n 0 <= R <=100"},
    {kColSteps, 0, 50000, true, "Input denied\n 1 <= N <=50000"},
};

constexpr int kMaxCellLength = 8;
const QString kResetText = QStringLiteral("100");
// The tag travels as one word of the store line: a blank would split it, and only printable
// ASCII survives the line's Latin-1 encoding and the controller's parser.
const QString kTagCharacters =
    QStringLiteral("Tag may contain no blanks and only printable ASCII characters");

bool FitsTag(QChar ch) { return ch.unicode() > 0x20 && ch.unicode() < 0x7f; }

}  // namespace

ChannelAddress ChannelOfRow(int row) {
    const int module = (row - 1) / 3 + 1;
    return {static_cast<std::uint8_t>(module), static_cast<std::uint8_t>(row - 3 * (module - 1))};
}

QString ChannelLabel(int row) {
    const ChannelAddress a = ChannelOfRow(row);
    return QString::number(a.module) + QChar('A' + a.channel - 1);
}

bool IsEditableColumn(int column) { return column != kColSel && column != kColChan && column != kColType; }

long DecimalValue(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    errno = 0;
    return std::strtol(bytes.constData(), nullptr, 10);
}

CellCheck CheckCell(int column, const QString& text) {
    CellCheck result{text, {}};
    if (column == kColTag) {
        // The characters the line cannot carry are dropped; a paste too long is cut as well.
        QString kept;
        for (const QChar ch : text)
            if (FitsTag(ch)) kept += ch;
        if (kept != text) {
            result.text = kept.left(kMaxCellLength);
            result.messages << kTagCharacters;
            return result;
        }
    }
    if (text.size() > kMaxCellLength) {
        result.messages << "Input may not contain more than 8 characters";
        result.text = text.left(kMaxCellLength);
        return result;
    }
    if (column > kColType) {
        for (const QChar ch : text) {
            if (!ch.isLetter()) continue;
            result.text = kResetText;
            result.messages << "Only numeric and integer entries!";
        }
    }
    for (const RangeRule& rule : kRangeRules) {
        if (rule.column != column) continue;
        const long value = DecimalValue(text);
        const bool leadingZero = rule.refuseLeadingZero && text.startsWith('0');
        if (value < rule.low || value > rule.high || leadingZero) {
            result.text = kResetText;
            result.messages << rule.message;
        }
    }
    return result;
}

}  // namespace vm::gui
