// quilo-stats' HTTP side (libevent's evhttp): /metrics, the dashboard page
// at /, and the JSON API under /api. See stats/README.md for what each
// serves. Only GET and HEAD are answered; other methods get 405, unknown
// paths 404, bad query parameters 400.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "appliance.hh"

struct evhttp;
struct evhttp_request;

namespace qstats {

using Appliances = std::vector<std::unique_ptr<Appliance>>;

// The Prometheus text exposition of the appliances' newest values.
std::string prometheus_text(const Appliances& apps);
// JSON documents of /api/appliances and /api/history. `metrics` empty:
// every family. Returns false with *err for a bad request.
std::string appliances_json(const Appliances& apps, int64_t now);
bool history_json(const Appliances& apps, const std::string& appliance, const std::vector<std::string>& metrics,
                  int64_t range, int64_t now, std::string* out, std::string* err);
// A number as /metrics and the JSON API write it.
std::string format_number(double v);

class HttpServer {
  public:
    HttpServer(evhttp* http, const Appliances& apps) : http_(http), apps_(apps) {}
    void install();
    static constexpr int64_t kMaxRange = 7 * 24 * 3600;

  private:
    static void handle(evhttp_request* req, void* arg);
    void serve(evhttp_request* req);
    evhttp* http_;
    const Appliances& apps_;
};

extern const char kDashboardHtml[];

}  // namespace qstats
