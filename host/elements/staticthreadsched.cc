#include "staticthreadsched.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

int StaticThreadSched::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int nthreads = router()->nthreads();
    if (nthreads < 1)
        nthreads = 1;
    int bad = 0;
    for (const std::string& arg : conf) {
        std::vector<std::string> w;
        size_t i = 0;
        while (i < arg.size()) {
            while (i < arg.size() && isspace((unsigned char) arg[i]))
                ++i;
            size_t j = i;
            while (j < arg.size() && !isspace((unsigned char) arg[j]))
                ++j;
            if (j > i)
                w.push_back(arg.substr(i, j - i));
            i = j;
        }
        int t;
        if (w.size() != 2 || !parse_arg(IntArg(), w[1], t) || t < 0) {
            errh->error("expected 'ELEMENT THREAD', got %<%s%>", arg.c_str());
            ++bad;
            continue;
        }
        Element* e = router()->find(w[0], this);
        if (!e) {
            errh->error("%<%s%> does not name an element", w[0].c_str());
            ++bad;
            continue;
        }
        if (t >= nthreads) {
            errh->warning("%s: thread %d does not exist, using %d", w[0].c_str(), t, t % nthreads);
            t %= nthreads;
        }
        e->set_home_thread_id(t);
    }
    return bad ? -EINVAL : 0;
}

QUILO_HOST_ELEMENT(StaticThreadSched);
