#include "ctlproto.hh"

#include <cctype>
#include <cstdio>

namespace qstats {

bool ReplyParser::take_line(std::string& in, std::string* line, bool* too_long) {
    size_t nl = in.find('\n');
    *too_long = false;
    if (nl == std::string::npos) {
        *too_long = in.size() > kMaxLine;
        return false;
    }
    if (nl > kMaxLine) {
        *too_long = true;
        return false;
    }
    size_t end = nl;
    if (end > 0 && in[end - 1] == '\r')
        --end;
    line->assign(in, 0, end);
    in.erase(0, nl + 1);
    return true;
}

ReplyParser::Result ReplyParser::fail(std::string* err, std::string why) {
    state_ = State::Failed;
    err_ = std::move(why);
    *err = err_;
    return Result::Error;
}

ReplyParser::Result ReplyParser::next(std::string& in, Reply* out, std::string* err) {
    std::string line;
    bool too_long = false;
    for (;;) {
        switch (state_) {
        case State::Failed:
            *err = err_;
            return Result::Error;
        case State::Banner:
            if (!take_line(in, &line, &too_long))
                return too_long ? fail(err, "banner line too long") : Result::NeedMore;
            if (line.rfind("Click::ControlSocket/", 0) != 0)
                return fail(err, "not a control socket: banner \"" + printable(line) + "\"");
            banner_seen_ = true;
            state_ = State::Status;
            break;
        case State::Status: {
            if (!take_line(in, &line, &too_long))
                return too_long ? fail(err, "reply line too long") : Result::NeedMore;
            if (line.size() < 3 || !isdigit(uint8_t(line[0])) || !isdigit(uint8_t(line[1])) ||
                !isdigit(uint8_t(line[2])) || (line.size() > 3 && line[3] != ' ' && line[3] != '-'))
                return fail(err, "bad status line \"" + printable(line) + "\"");
            cur_.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
            cur_.message = line.size() > 4 ? line.substr(4) : std::string();
            if (line.size() > 3 && line[3] == '-')
                break;  // continued
            if (cur_.code != 200) {
                *out = std::move(cur_);
                cur_ = Reply();
                return Result::Reply;
            }
            state_ = State::Data;
            break;
        }
        case State::Data: {
            if (!take_line(in, &line, &too_long))
                return too_long ? fail(err, "reply line too long") : Result::NeedMore;
            if (line.rfind("DATA ", 0) != 0 || line.size() == 5 || line.size() > 5 + 10)
                return fail(err, "expected DATA, got \"" + printable(line) + "\"");
            size_t n = 0;
            for (size_t i = 5; i < line.size(); ++i) {
                if (!isdigit(uint8_t(line[i])))
                    return fail(err, "bad DATA length \"" + printable(line) + "\"");
                n = n * 10 + size_t(line[i] - '0');
            }
            if (n > kMaxData)
                return fail(err, "DATA length " + std::to_string(n) + " above the limit of " +
                                     std::to_string(kMaxData));
            want_ = n;
            state_ = State::Body;
            break;
        }
        case State::Body:
            if (in.size() < want_)
                return Result::NeedMore;
            cur_.has_data = true;
            cur_.data.assign(in, 0, want_);
            in.erase(0, want_);
            state_ = State::Status;
            *out = std::move(cur_);
            cur_ = Reply();
            return Result::Reply;
        }
    }
}

std::string printable(std::string_view s) {
    std::string o;
    for (char c : s) {
        if (o.size() >= 60) {
            o += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7f) {
            o += c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", unsigned(uint8_t(c)));
            o += b;
        }
    }
    return o;
}

}  // namespace qstats
