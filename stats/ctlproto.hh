// The client side of the control socket's line protocol, as quilo-stats
// speaks it: a banner line ("Click::ControlSocket/1.3"), then for every
// command a status line "NNN text" (continued by "NNN-text" lines) and, for a
// READ that succeeded, a "DATA n" line followed by n bytes of value.
//
// ReplyParser takes the bytes as they arrive and hands out whole replies.
// Nothing the appliance sends is trusted: lines longer than kMaxLine, a
// status that is not three digits, a DATA length that is not a number or
// exceeds kMaxData, all end the parse with an error (the caller drops the
// connection); a reply cut short simply waits for more bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qstats {

struct Reply {
    int code = 0;             // 200 on success
    std::string message;      // the status line's text (last line when continued)
    bool has_data = false;
    std::string data;         // the value of a successful READ
};

class ReplyParser {
  public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxData = 4 << 20;

    enum class Result { NeedMore, Reply, Error };

    // Consumes bytes from the front of `in`. Reply: *out holds the next
    // reply (a successful status is always followed by DATA: quilo-stats
    // only sends READ). NeedMore: everything usable was consumed. Error:
    // *err says why; the parser stays failed.
    Result next(std::string& in, Reply* out, std::string* err);

    bool banner_seen() const { return banner_seen_; }
    void reset() { *this = ReplyParser(); }

  private:
    enum class State { Banner, Status, Data, Body, Failed };
    // Takes one line (without its end) off the front of `in`; false when no
    // whole line is there yet. Sets *too_long for an overlong line.
    static bool take_line(std::string& in, std::string* line, bool* too_long);
    Result fail(std::string* err, std::string why);

    State state_ = State::Banner;
    bool banner_seen_ = false;
    size_t want_ = 0;  // bytes of DATA still expected
    Reply cur_;
    std::string err_;
};

// Quotes a value read from an appliance for an error message: printable
// ASCII kept, the rest as \xNN, at most 60 characters.
std::string printable(std::string_view s);

}  // namespace qstats
