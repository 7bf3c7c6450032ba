// One appliance as quilo-stats sees it: a connection to its control socket
// (a Unix path or HOST:PORT), the catalog of what to read, and the history
// of every series read from it.
//
// Everything runs on the program's one event loop and nothing waits: the
// appliance is asked once a second (tick) for all its values in one
// pipelined batch, and the replies are taken as they come. An appliance that
// refuses the connection, closes it, answers something that is not the
// control-socket protocol, or leaves a batch unanswered for kReplyTimeout
// seconds is marked down; the next tick connects again, and after
// reconnecting the elements are discovered afresh. The element list is read
// with every batch, so a configuration replaced while running (hotconfig)
// is discovered again too.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "catalog.hh"
#include "ctlproto.hh"
#include "history.hh"

struct event_base;
struct bufferevent;

namespace qstats {

struct Series {
    const Family* family;
    Labels labels;  // without "appliance"
    History history;
    int64_t last_t = INT64_MIN;
    double last = 0;
};

class Appliance {
  public:
    static constexpr int kReplyTimeout = 5;
    static constexpr size_t kMaxSeries = 2000;
    static constexpr int64_t kForgetSeconds = 7 * 24 * 3600;

    // `address`: a Unix socket path (anything with a '/', or an existing
    // file) or HOST:PORT. False with *err when it cannot be resolved.
    static std::unique_ptr<Appliance> create(event_base* base, const std::string& name,
                                             const std::string& address, std::string* err);
    ~Appliance();
    Appliance(const Appliance&) = delete;
    Appliance& operator=(const Appliance&) = delete;

    // Once a second, with the wall-clock second.
    void tick(int64_t t);

    const std::string& name() const { return name_; }
    const std::string& address() const { return address_; }
    bool up() const { return up_; }
    int64_t since() const { return since_; }  // when up() last changed
    int64_t last_poll() const { return last_poll_; }  // second of the newest values read
    int64_t newest() const { return newest_; }  // second of the newest series recorded
    const std::string& last_error() const { return error_; }
    uint64_t connects() const { return connects_; }
    uint64_t errors() const { return errors_; }
    size_t elements() const { return catalog_.element_count(); }
    const std::map<std::string, Series>& series() const { return series_; }

  private:
    Appliance(event_base* base, std::string name, std::string address);
    enum class Phase { Idle, List, Details, Ready };
    enum class Batch { None, List, Details, Poll };

    void connect(int64_t t);
    void fail(const std::string& why);
    void send(Batch kind, const std::vector<std::string>& handlers, int64_t t);
    void on_read();
    void batch_done();
    void record(int64_t t, const std::vector<Sample>& samples);
    void set_up(bool up, int64_t t);
    static void read_cb(bufferevent* bev, void* arg);
    static void event_cb(bufferevent* bev, short what, void* arg);

    event_base* base_;
    std::string name_, address_;
    sockaddr_storage addr_{};
    socklen_t addr_len_ = 0;

    bufferevent* bev_ = nullptr;
    Phase phase_ = Phase::Idle;
    int64_t phase_since_ = 0;
    ReplyParser parser_;
    std::string inbuf_;

    Batch batch_ = Batch::None;
    int64_t batch_t_ = 0, batch_sent_ = 0;
    std::vector<std::string> batch_reads_;
    std::vector<Reply> replies_;

    std::vector<std::string> list_;  // elements the catalog was built from
    Catalog catalog_;
    std::map<std::string, Series> series_;

    bool up_ = false;
    int64_t since_ = 0, last_poll_ = INT64_MIN, newest_ = INT64_MIN, now_ = 0;
    std::string error_;
    uint64_t connects_ = 0, errors_ = 0;
};

// The key of a series: its family name and labels as in /metrics.
std::string series_key(const Family& f, const Labels& labels);

}  // namespace qstats
