#pragma once
// A small terminal for checking screen layouts: it renders text and the escape sequences the
// console writes (cursor position, erase display, colours, title, window size) onto a grid with
// the usual automatic wrap at the right margin.
#include <string>
#include <string_view>
#include <vector>

namespace vm::test {

class TerminalModel {
  public:
    TerminalModel(int columns, int rows);

    void feed(std::string_view bytes);
    // Row and column counted from 1; the row's text without trailing spaces.
    std::string row(int row) const;
    // The character at a column and row counted from 1.
    char at(int column, int row) const;
    const std::string& title() const { return title_; }
    int columns() const { return columns_; }
    int rows() const { return rows_; }

  private:
    void put(char c);
    void lineFeed();
    void csi(char final);

    int columns_;
    int rows_;
    std::vector<std::string> grid_;
    int column_ = 0;
    int row_ = 0;
    bool wrapPending_ = false;
    enum class State { Text, Escape, Csi, Osc, OscEscape } state_ = State::Text;
    std::string parameters_;
    std::string title_;
};

}  // namespace vm::test
