#include "gui/model/current_link.h"

#include <cstdarg>

namespace vm::gui {

bool Transaction::exchange(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    link_.command().vformat(fmt, args);
    va_end(args);
    const int result = link_.Exchange();
    if (health_) {
        // A reply with nothing in it is no answer either, whatever the link reported: a pipe whose
        // monitor is gone, for one, reports success with an empty reply.
        const std::string_view text = link_.reply().view();
        health_->record(result != 0 || text.find_first_not_of("\r\n") == std::string_view::npos);
    }
    parser_.Parse(result == 0 ? link_.reply().view() : std::string_view{});
    return result != 0;
}

CurrentLink::~CurrentLink() {
    if (link_) link_->Close();
}

void CurrentLink::replace(std::unique_ptr<COM_METHOD> link) {
    Lock lock(mutex_);
    if (link_) link_->Close();
    link_ = std::move(link);
    health_.reset();
}

bool CurrentLink::hasLink() const {
    Lock lock(mutex_);
    return link_ != nullptr;
}

LineReply CurrentLink::exchangeLine(std::string_view line) {
    if (line.size() > kMaxLineLength ||
        line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return {};
    return run(
        [&](Transaction& t) {
            LineReply result;
            result.failed = t.exchange("%.*s\r", static_cast<int>(line.size()), line.data());
            if (result.failed) return result;
            std::string_view text = t.reply();
            while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
            result.text = text;
            return result;
        },
        [] { return LineReply{}; });
}

StringParser CurrentLink::parser() const {
    Lock lock(mutex_);
    return parser_;
}

}  // namespace vm::gui
