#include "server.hh"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include <event2/buffer.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

namespace qstats {

std::string format_number(double v) {
    char b[40];
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    if (v == std::floor(v) && std::fabs(v) < 1e17)
        snprintf(b, sizeof b, "%.0f", v);
    else
        snprintf(b, sizeof b, "%.9g", v);
    return b;
}

namespace {

std::string label_value(const std::string& v) {
    std::string o;
    for (char c : v) {
        if (c == '\\')
            o += "\\\\";
        else if (c == '"')
            o += "\\\"";
        else if (c == '\n')
            o += "\\n";
        else
            o += c;
    }
    return o;
}

std::string json_string(const std::string& v) {
    std::string o = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += c;
        } else if (uint8_t(c) < 0x20 || c == 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", unsigned(uint8_t(c)));
            o += b;
        } else {
            o += c;
        }
    }
    return o + "\"";
}

std::string json_number(double v) { return std::isfinite(v) ? format_number(v) : "null"; }

}  // namespace

std::string prometheus_text(const Appliances& apps) {
    std::string out;
    for (const Family& f : families()) {
        std::string lines;
        for (const auto& a : apps) {
            for (const auto& [key, s] : a->series()) {
                if (s.family != &f || s.last_t != a->newest())
                    continue;
                lines += f.name;
                lines += "{appliance=\"" + label_value(a->name()) + "\"";
                for (const auto& [n, v] : s.labels)
                    lines += "," + n + "=\"" + label_value(v) + "\"";
                lines += "} " + format_number(s.last) + "\n";
            }
        }
        if (lines.empty())
            continue;
        out += std::string("# HELP ") + f.name + " " + f.help + "\n";
        out += std::string("# TYPE ") + f.name + (f.counter ? " counter\n" : " gauge\n");
        out += lines;
    }
    return out;
}

std::string appliances_json(const Appliances& apps, int64_t now) {
    std::string o = "{\"now\":" + std::to_string(now) + ",\"appliances\":[";
    bool first = true;
    for (const auto& a : apps) {
        o += first ? "" : ",";
        first = false;
        o += "{\"name\":" + json_string(a->name()) + ",\"socket\":" + json_string(a->address()) +
             ",\"up\":" + (a->up() ? "true" : "false") + ",\"since\":" + std::to_string(a->since()) +
             ",\"last_poll\":" + (a->last_poll() == INT64_MIN ? "null" : std::to_string(a->last_poll())) +
             ",\"last_error\":" + json_string(a->last_error()) + ",\"elements\":" + std::to_string(a->elements()) +
             ",\"connects\":" + std::to_string(a->connects()) + ",\"errors\":" + std::to_string(a->errors()) + "}";
    }
    return o + "]}";
}

bool history_json(const Appliances& apps, const std::string& appliance, const std::vector<std::string>& metrics,
                  int64_t range, int64_t now, std::string* out, std::string* err) {
    for (const std::string& m : metrics)
        if (family(m) == nullptr) {
            *err = "unknown metric " + m;
            return false;
        }
    const Tier* tier = nullptr;
    std::string body;
    bool found = appliance.empty();
    for (const auto& a : apps) {
        if (!appliance.empty() && a->name() != appliance)
            continue;
        found = true;
        body += body.empty() ? "" : ",";
        body += "{\"name\":" + json_string(a->name()) + ",\"up\":" + (a->up() ? "true" : "false") + ",\"series\":[";
        bool first = true;
        for (const auto& [key, s] : a->series()) {
            bool wanted = metrics.empty();
            for (const std::string& m : metrics)
                wanted |= m == s.family->name;
            if (!wanted)
                continue;
            const Tier& t = s.history.tier_for(range);
            tier = &t;
            int64_t step = t.step();
            int64_t end = now - now % step, start = end - (range + step - 1) / step * step + step;
            if (s.last_t < start)
                continue;  // nothing in the range
            body += first ? "" : ",";
            first = false;
            body += "{\"metric\":" + json_string(s.family->name) + ",\"type\":" +
                    (s.family->counter ? "\"counter\"" : "\"gauge\"") + ",\"labels\":{";
            for (size_t i = 0; i < s.labels.size(); ++i)
                body += (i ? "," : "") + json_string(s.labels[i].first) + ":" + json_string(s.labels[i].second);
            body += "},\"values\":[";
            std::vector<double> v = t.range(start, end);
            for (size_t i = 0; i < v.size(); ++i)
                body += (i ? "," : "") + json_number(v[i]);
            body += "]}";
        }
        body += "]}";
    }
    if (!found) {
        *err = "no appliance named " + appliance;
        return false;
    }
    History h;
    if (tier == nullptr)
        tier = &h.tier_for(range);
    int64_t step = tier->step();
    int64_t end = now - now % step, start = end - (range + step - 1) / step * step + step;
    *out = "{\"now\":" + std::to_string(now) + ",\"step\":" + std::to_string(step) + ",\"start\":" +
           std::to_string(start) + ",\"end\":" + std::to_string(end) + ",\"appliances\":[" + body + "]}";
    return true;
}

void HttpServer::install() {
    evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_HEAD | EVHTTP_REQ_POST | EVHTTP_REQ_PUT |
                                          EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                          EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
    evhttp_set_max_headers_size(http_, 16384);
    evhttp_set_max_body_size(http_, 65536);
    evhttp_set_timeout(http_, 10);
    evhttp_set_gencb(http_, handle, this);
}

void HttpServer::handle(evhttp_request* req, void* arg) { static_cast<HttpServer*>(arg)->serve(req); }

namespace {
void reply(evhttp_request* req, int code, const char* reason, const char* type, const std::string& body) {
    evkeyvalq* h = evhttp_request_get_output_headers(req);
    evhttp_add_header(h, "Content-Type", type);
    evhttp_add_header(h, "Cache-Control", "no-store");
    evbuffer* b = evbuffer_new();
    if (evhttp_request_get_command(req) != EVHTTP_REQ_HEAD)
        evbuffer_add(b, body.data(), body.size());
    evhttp_send_reply(req, code, reason, b);
    evbuffer_free(b);
}

void error(evhttp_request* req, int code, const char* reason, const std::string& why) {
    reply(req, code, reason, "text/plain; charset=utf-8", why + "\n");
}
}  // namespace

void HttpServer::serve(evhttp_request* req) {
    const int64_t now = time(nullptr) - 1;  // the newest whole second polled
    int cmd = evhttp_request_get_command(req);
    if (cmd != EVHTTP_REQ_GET && cmd != EVHTTP_REQ_HEAD) {
        evhttp_add_header(evhttp_request_get_output_headers(req), "Allow", "GET, HEAD");
        error(req, 405, "Method Not Allowed", "only GET and HEAD");
        return;
    }
    const evhttp_uri* uri = evhttp_request_get_evhttp_uri(req);
    const char* raw_path = uri ? evhttp_uri_get_path(uri) : nullptr;
    std::string path = raw_path && *raw_path ? raw_path : "/";
    const char* query = uri ? evhttp_uri_get_query(uri) : nullptr;

    if (path == "/" || path == "/index.html") {
        reply(req, 200, "OK", "text/html; charset=utf-8", kDashboardHtml);
    } else if (path == "/metrics") {
        reply(req, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", prometheus_text(apps_));
    } else if (path == "/api" || path == "/api/") {
        reply(req, 200, "OK", "application/json",
              "{\"endpoints\":[\"/api/appliances\",\"/api/history?appliance=NAME&metric=FAMILY&range=SECONDS\","
              "\"/metrics\"]}");
    } else if (path == "/api/appliances") {
        reply(req, 200, "OK", "application/json", appliances_json(apps_, now));
    } else if (path == "/api/history") {
        evkeyvalq params;
        params.tqh_first = nullptr;
        params.tqh_last = &params.tqh_first;
        if (query && evhttp_parse_query_str(query, &params) != 0) {
            error(req, 400, "Bad Request", "malformed query");
            return;
        }
        std::string appliance, err, out;
        std::vector<std::string> metrics;
        int64_t range = 600;
        bool bad = false;
        for (evkeyval* kv = params.tqh_first; kv; kv = kv->next.tqe_next) {
            std::string k = kv->key, v = kv->value;
            if (k == "appliance") {
                appliance = v;
            } else if (k == "metric") {
                metrics.push_back(v);
            } else if (k == "range") {
                char* end = nullptr;
                long long r = strtoll(v.c_str(), &end, 10);
                if (v.empty() || *end || r < 1 || r > kMaxRange) {
                    err = "range must be 1 to " + std::to_string(kMaxRange) + " seconds";
                    bad = true;
                }
                range = r;
            } else {
                err = "unknown parameter " + k;
                bad = true;
            }
        }
        evhttp_clear_headers(&params);
        if (bad) {
            error(req, 400, "Bad Request", err);
        } else if (!history_json(apps_, appliance, metrics, range, now, &out, &err)) {
            error(req, err.rfind("no appliance", 0) == 0 ? 404 : 400,
                  err.rfind("no appliance", 0) == 0 ? "Not Found" : "Bad Request", err);
        } else {
            reply(req, 200, "OK", "application/json", out);
        }
    } else {
        error(req, 404, "Not Found", "no such page: try /, /metrics or /api");
    }
}

}  // namespace qstats
