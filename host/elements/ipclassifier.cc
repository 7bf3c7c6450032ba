#include "ipclassifier.hh"

#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int IPClassifier::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (conf.empty())
        return errh->error("no patterns");
    std::vector<ipfilter::Expr> exprs(conf.size());
    std::vector<int> outs(conf.size());
    int bad = 0;
    for (size_t i = 0; i < conf.size(); ++i) {
        std::string text = cp_unquote(conf[i]);
        ipfilter::ParseError pe;
        if (!ipfilter::parse_expr(text, exprs[i], &pe)) {
            errh->error("%s", ipfilter::describe_error(int(i) + 1, text, pe).c_str());
            ++bad;
        }
        outs[i] = int(i);
    }
    if (bad)
        return -EINVAL;
    if (noutputs() > int(conf.size()))
        return errh->error("more outputs connected than patterns (%d patterns)", int(conf.size()));
    _exprs = std::move(exprs);
    _outputs = std::move(outs);
    return 0;
}

int IPFilter::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    if (conf.empty())
        return errh->error("no rules");
    std::vector<ipfilter::Expr> exprs(conf.size());
    std::vector<int> outs(conf.size());
    int bad = 0;
    for (size_t i = 0; i < conf.size(); ++i) {
        std::string text = cp_unquote(conf[i]);
        ipfilter::ParseError pe;
        if (!ipfilter::parse_filter_rule(text, outs[i], exprs[i], &pe)) {
            errh->error("%s", ipfilter::describe_error(int(i) + 1, text, pe).c_str());
            ++bad;
        } else if (outs[i] >= noutputs()) {
            errh->error("rule %d: output %d does not exist (%d outputs)", int(i) + 1, outs[i], noutputs());
            ++bad;
        }
    }
    if (bad)
        return -EINVAL;
    _exprs = std::move(exprs);
    _outputs = std::move(outs);
    return 0;
}

void IPClassifier::push(int, Packet* p) {
    uint32_t len;
    const unsigned char* ip = ip_view(p, len);
    for (size_t i = 0; i < _exprs.size(); ++i)
        if (_exprs[i].match(ip, len)) {
            int o = _outputs[i];
            if (o >= 0) {
                checked_output_push(o, p);
                return;
            }
            break;
        }
    _drops.fetch_add(1, std::memory_order_relaxed);
    p->kill();
}

void IPClassifier::add_handlers() {
    add_read_handler("drops", ReadHandlerFunction([this]() { return std::to_string(_drops.load()) + "\n"; }));
}

QUILO_HOST_ELEMENT(IPClassifier);
QUILO_HOST_ELEMENT(IPFilter);
