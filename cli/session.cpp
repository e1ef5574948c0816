#include "cli/session.h"

#include <cstdarg>

#include "cli/messages.h"
#include "cli/words.h"

namespace vm::cli {

long Words::integer(std::size_t i) const { return ToInteger(word(i)); }
double Words::real(std::size_t i) const { return ToReal(word(i)); }

int Session::exchange(const char* fmt, ...) {
    if (exchangeLink_ == nullptr) return 1;
    va_list args;
    va_start(args, fmt);
    exchangeLink_->command().vformat(fmt, args);
    va_end(args);
    return exchangeLink_->Exchange();
}

int Session::exchangeAgain() { return exchangeLink_ ? exchangeLink_->Exchange() : 1; }

void Session::close() {
    if (closeLink_) closeLink_->Close();
}

int Session::listDevices() { return listLink_ ? listLink_->ListDevices() : 0; }

std::string_view Session::reply() const { return exchangeLink_ ? exchangeLink_->reply().view() : std::string_view{}; }

bool Session::replyIsAnyOf(std::initializer_list<std::string_view> texts) const {
    for (std::string_view t : texts)
        if (replyIs(t)) return true;
    return false;
}

Tokens& Session::tokenize() {
    tokens_.Tokenize(reply());
    return tokens_;
}

void Session::print(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    console_.vprint(fmt, args);
    va_end(args);
}

void Session::message(int code) const { PrintMessage(console_, code, developmentMode_); }

}  // namespace vm::cli
