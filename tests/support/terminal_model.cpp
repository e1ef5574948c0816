#include "tests/support/terminal_model.h"

#include <algorithm>
#include <cstdlib>

namespace vm::test {

TerminalModel::TerminalModel(int columns, int rows)
    : columns_(columns), rows_(rows), grid_(static_cast<std::size_t>(rows), std::string(columns, ' ')) {}

void TerminalModel::feed(std::string_view bytes) {
    for (const char c : bytes) {
        switch (state_) {
            case State::Text:
                if (c == '\x1b') {
                    state_ = State::Escape;
                } else if (c == '\r') {
                    column_ = 0;
                    wrapPending_ = false;
                } else if (c == '\n') {
                    lineFeed();
                } else if (c == '\b') {
                    column_ = std::max(column_ - 1, 0);
                    wrapPending_ = false;
                } else if (static_cast<unsigned char>(c) >= 0x20) {
                    put(c);
                }
                break;
            case State::Escape:
                parameters_.clear();
                state_ = c == '[' ? State::Csi : c == ']' ? State::Osc : State::Text;
                break;
            case State::Csi:
                if ((c >= '0' && c <= '9') || c == ';' || c == '?') {
                    parameters_.push_back(c);
                } else {
                    csi(c);
                    state_ = State::Text;
                }
                break;
            case State::Osc:
                if (c == '\x07') {
                    if (parameters_.starts_with("0;") || parameters_.starts_with("2;"))
                        title_ = parameters_.substr(2);
                    state_ = State::Text;
                } else if (c == '\x1b') {
                    state_ = State::OscEscape;
                } else {
                    parameters_.push_back(c);
                }
                break;
            case State::OscEscape:
                state_ = State::Text;
                break;
        }
    }
}

void TerminalModel::put(char c) {
    if (wrapPending_) {
        column_ = 0;
        lineFeed();
    }
    grid_[static_cast<std::size_t>(row_)][static_cast<std::size_t>(column_)] = c;
    if (column_ == columns_ - 1)
        wrapPending_ = true;
    else
        ++column_;
}

void TerminalModel::lineFeed() {
    wrapPending_ = false;
    if (row_ < rows_ - 1) {
        ++row_;
        return;
    }
    grid_.erase(grid_.begin());
    grid_.emplace_back(columns_, ' ');
}

void TerminalModel::csi(char final) {
    std::vector<int> values;
    std::size_t start = 0;
    while (start <= parameters_.size()) {
        const auto end = std::min(parameters_.find(';', start), parameters_.size());
        values.push_back(std::atoi(parameters_.substr(start, end - start).c_str()));
        start = end + 1;
    }
    auto value = [&](std::size_t i, int fallback) {
        return i < values.size() && values[i] > 0 ? values[i] : fallback;
    };
    switch (final) {
        case 'H':
        case 'f':
            row_ = std::clamp(value(0, 1), 1, rows_) - 1;
            column_ = std::clamp(value(1, 1), 1, columns_) - 1;
            wrapPending_ = false;
            break;
        case 'J':
            if (value(0, 0) == 2)
                for (auto& line : grid_) line.assign(static_cast<std::size_t>(columns_), ' ');
            break;
        default:
            break;  // colours, window size and the rest leave the text alone
    }
}

std::string TerminalModel::row(int row) const {
    std::string text = grid_.at(static_cast<std::size_t>(row - 1));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

char TerminalModel::at(int column, int row) const {
    return grid_.at(static_cast<std::size_t>(row - 1)).at(static_cast<std::size_t>(column - 1));
}

}  // namespace vm::test
