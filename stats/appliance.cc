#include "appliance.hh"

#include <netdb.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/util.h>

namespace qstats {

std::string series_key(const Family& f, const Labels& labels) {
    std::string k = f.name;
    k += '{';
    for (const auto& [n, v] : labels) {
        k += n;
        k += "=\"";
        k += v;
        k += "\",";
    }
    k += '}';
    return k;
}

Appliance::Appliance(event_base* base, std::string name, std::string address)
    : base_(base), name_(std::move(name)), address_(std::move(address)), since_(time(nullptr)) {}

std::unique_ptr<Appliance> Appliance::create(event_base* base, const std::string& name,
                                             const std::string& address, std::string* err) {
    std::unique_ptr<Appliance> a(new Appliance(base, name, address));
    struct stat st;
    if (address.find('/') != std::string::npos || stat(address.c_str(), &st) == 0) {
        auto* un = reinterpret_cast<sockaddr_un*>(&a->addr_);
        if (address.size() >= sizeof un->sun_path) {
            *err = "socket path too long: " + address;
            return nullptr;
        }
        un->sun_family = AF_UNIX;
        memcpy(un->sun_path, address.c_str(), address.size() + 1);
        a->addr_len_ = socklen_t(sizeof(sockaddr_un));
        return a;
    }
    int len = int(sizeof a->addr_);
    if (evutil_parse_sockaddr_port(address.c_str(), reinterpret_cast<sockaddr*>(&a->addr_), &len) == 0 &&
        reinterpret_cast<sockaddr_in*>(&a->addr_)->sin_port != 0) {
        a->addr_len_ = socklen_t(len);
        return a;
    }
    // HOST:PORT with a host name, resolved once.
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        *err = "not a socket path or HOST:PORT: " + address;
        return nullptr;
    }
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(address.substr(0, colon).c_str(), address.c_str() + colon + 1, &hints, &res);
    if (rc != 0 || res == nullptr) {
        *err = "cannot resolve " + address + ": " + gai_strerror(rc);
        return nullptr;
    }
    memcpy(&a->addr_, res->ai_addr, res->ai_addrlen);
    a->addr_len_ = res->ai_addrlen;
    freeaddrinfo(res);
    return a;
}

Appliance::~Appliance() {
    if (bev_)
        bufferevent_free(bev_);
}

void Appliance::set_up(bool up, int64_t t) {
    if (up == up_)
        return;
    up_ = up;
    since_ = t;
    if (up)
        fprintf(stderr, "quilo-stats: %s: up (%zu elements)\n", name_.c_str(), catalog_.element_count());
    else
        fprintf(stderr, "quilo-stats: %s: down (%s)\n", name_.c_str(), error_.c_str());
}

void Appliance::fail(const std::string& why) {
    if (bev_) {
        bufferevent_free(bev_);
        bev_ = nullptr;
    }
    bool was_connected = phase_ != Phase::Idle;
    phase_ = Phase::Idle;
    batch_ = Batch::None;
    parser_.reset();
    inbuf_.clear();
    replies_.clear();
    if (was_connected || error_ != why || up_) {
        error_ = why;
        ++errors_;
    }
    set_up(false, time(nullptr));
}

void Appliance::connect(int64_t t) {
    bev_ = bufferevent_socket_new(base_, -1, BEV_OPT_CLOSE_ON_FREE);
    if (bev_ == nullptr) {
        fail("cannot create a socket");
        return;
    }
    bufferevent_setcb(bev_, read_cb, nullptr, event_cb, this);
    bufferevent_enable(bev_, EV_READ | EV_WRITE);
    phase_ = Phase::List;
    phase_since_ = t;
    if (bufferevent_socket_connect(bev_, reinterpret_cast<sockaddr*>(&addr_), int(addr_len_)) < 0) {
        fail(std::string("connect: ") + evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR()));
        return;
    }
    ++connects_;
    // Commands may follow the connect at once: the router reads them after
    // its banner.
    send(Batch::List, {"list"}, t);
}

void Appliance::send(Batch kind, const std::vector<std::string>& handlers, int64_t t) {
    std::string out;
    for (const std::string& h : handlers) {
        out += "READ ";
        out += h;
        out += '\n';
    }
    batch_ = kind;
    batch_t_ = t;
    batch_sent_ = t;
    batch_reads_ = handlers;
    replies_.clear();
    replies_.reserve(handlers.size());
    bufferevent_write(bev_, out.data(), out.size());
}

void Appliance::tick(int64_t t) {
    now_ = t;
    if (!up_)
        record(t, {});
    if (t % 60 == 0) {
        // Series the appliance has not shown for longer than the history
        // holds are forgotten.
        for (auto it = series_.begin(); it != series_.end();)
            it = it->second.last_t < t - kForgetSeconds ? series_.erase(it) : std::next(it);
    }
    if (phase_ == Phase::Idle) {
        connect(t);
        return;
    }
    if (batch_ != Batch::None) {
        // A batch still unanswered: the sample of this second is missing;
        // after kReplyTimeout seconds the appliance counts as gone.
        if (t - batch_sent_ >= kReplyTimeout)
            fail("no reply within " + std::to_string(kReplyTimeout) + " s");
        return;
    }
    if (phase_ == Phase::Ready) {
        std::vector<std::string> reads = {"list"};
        reads.insert(reads.end(), catalog_.reads().begin(), catalog_.reads().end());
        send(Batch::Poll, reads, t);
    }
}

void Appliance::read_cb(bufferevent* bev, void* arg) {
    auto* a = static_cast<Appliance*>(arg);
    evbuffer* in = bufferevent_get_input(bev);
    // Bounded: the parser consumes everything but an incomplete reply, and
    // rejects lines and values above its limits.
    while (a->bev_ == bev && evbuffer_get_length(in) > 0) {
        char buf[16384];
        int n = evbuffer_remove(in, buf, sizeof buf);
        if (n <= 0)
            break;
        a->inbuf_.append(buf, size_t(n));
        a->on_read();
    }
}

void Appliance::event_cb(bufferevent*, short what, void* arg) {
    auto* a = static_cast<Appliance*>(arg);
    if (what & BEV_EVENT_CONNECTED)
        return;
    if (what & BEV_EVENT_EOF)
        a->fail("connection closed");
    else if (what & BEV_EVENT_ERROR)
        a->fail(evutil_socket_error_to_string(EVUTIL_SOCKET_ERROR()));
}

void Appliance::on_read() {
    Reply r;
    std::string err;
    for (;;) {
        ReplyParser::Result res = parser_.next(inbuf_, &r, &err);
        if (res == ReplyParser::Result::NeedMore)
            return;
        if (res == ReplyParser::Result::Error) {
            fail(err);
            return;
        }
        if (batch_ == Batch::None) {
            fail("reply without a request");
            return;
        }
        replies_.push_back(std::move(r));
        if (replies_.size() == batch_reads_.size()) {
            batch_done();
            if (phase_ == Phase::Idle)
                return;
        }
    }
}

void Appliance::batch_done() {
    Batch kind = batch_;
    batch_ = Batch::None;
    std::vector<Reply> replies = std::move(replies_);
    replies_.clear();
    int64_t t = batch_t_;
    switch (kind) {
    case Batch::None:
        break;
    case Batch::List:
        if (replies[0].code != 200) {
            fail("cannot read the element list: " + printable(replies[0].message));
            return;
        }
        list_ = element_list(replies[0].data);
        {
            std::vector<std::string> reads;
            for (const std::string& e : list_)
                for (const char* h : {".class", ".handlers", ".config"})
                    reads.push_back(e + h);
            phase_ = Phase::Details;
            if (reads.empty()) {
                replies_.clear();
                batch_ = Batch::Details;
                batch_reads_.clear();
                batch_done();
            } else {
                send(Batch::Details, reads, t);
            }
        }
        break;
    case Batch::Details: {
        std::vector<ElementInfo> elements;
        for (size_t i = 0; i < list_.size() && 3 * i + 2 < replies.size(); ++i) {
            const Reply* r = &replies[3 * i];
            if (r[0].code != 200 || r[1].code != 200)
                continue;  // gone in between: the next list tells
            ElementInfo e;
            e.name = list_[i];
            e.cls = r[0].data;
            while (!e.cls.empty() && isspace(uint8_t(e.cls.back())))
                e.cls.pop_back();
            e.reads = read_handlers(r[1].data);
            e.config = r[2].code == 200 ? r[2].data : "";
            elements.push_back(std::move(e));
        }
        catalog_.build(elements);
        phase_ = Phase::Ready;
        set_up(true, t);
        // Values right away rather than at the next tick.
        if (t == now_) {
            std::vector<std::string> reads = {"list"};
            reads.insert(reads.end(), catalog_.reads().begin(), catalog_.reads().end());
            send(Batch::Poll, reads, t);
        }
        break;
    }
    case Batch::Poll: {
        std::vector<Reply> values(replies.begin() + 1, replies.end());
        record(t, catalog_.extract(values));
        if (replies[0].code != 200 || element_list(replies[0].data) != list_) {
            // The configuration changed: discover it again.
            phase_ = Phase::List;
            send(Batch::List, {"list"}, t);
        }
        break;
    }
    }
}

void Appliance::record(int64_t t, const std::vector<Sample>& samples) {
    std::vector<Sample> all = samples;
    all.push_back({family("quilo_up"), {}, up_ ? 1.0 : 0.0});
    all.push_back({family("quilo_stats_connects_total"), {}, double(connects_)});
    all.push_back({family("quilo_stats_errors_total"), {}, double(errors_)});
    // LAN bytes per WAN byte sent to each peer over the last minute.
    if (up_) {
        for (const Sample& s : samples) {
            if (std::string(s.family->name) != "quilo_lan_bytes_total" || s.labels.size() != 2 ||
                s.labels[1].second != "tx")
                continue;
            auto wan = series_.find(series_key(*family("quilo_wan_bytes_total"), s.labels));
            auto lan = series_.find(series_key(*s.family, s.labels));
            double wan_now = NAN;
            for (const Sample& w : samples)
                if (std::string(w.family->name) == "quilo_wan_bytes_total" && w.labels == s.labels)
                    wan_now = w.value;
            if (wan == series_.end() || lan == series_.end() || std::isnan(wan_now))
                continue;
            double lan0 = lan->second.history.fine().at(t - 60), wan0 = wan->second.history.fine().at(t - 60);
            if (std::isnan(lan0) || std::isnan(wan0) || s.value < lan0 || wan_now <= wan0)
                continue;
            all.push_back({family("quilo_compression_ratio"), {{"peer", s.labels[0].second}},
                           (s.value - lan0) / (wan_now - wan0)});
        }
    }
    for (const Sample& s : all) {
        std::string key = series_key(*s.family, s.labels);
        auto it = series_.find(key);
        if (it == series_.end() && series_.size() >= kMaxSeries)
            continue;  // an appliance with an endless supply of elements
        if (it == series_.end())
            it = series_.emplace(key, Series{s.family, s.labels, History(), INT64_MIN, 0}).first;
        Series& se = it->second;
        se.history.put(t, s.value, s.family->counter);
        se.last_t = t;
        se.last = s.value;
    }
    if (up_)
        last_poll_ = t;
    newest_ = t;
}

}  // namespace qstats
