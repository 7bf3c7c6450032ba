#include "staticthreadsched.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

#include <utility>

int StaticThreadSched::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::vector<std::pair<Element*, int>> place;
    int before = errh->nerrors();
    for (auto& arg : conf) {
        std::string s = arg;
        std::string name = cp_shift_spacevec(s);
        std::string num = cp_shift_spacevec(s);
        int thread;
        Element* e = router()->find(name, this);
        if (name.empty() || num.empty() || !s.empty())
            errh->error("expected 'ELEMENT THREAD', got %<%s%>", arg.c_str());
        else if (!e)
            errh->error("%<%s%> does not name an element", name.c_str());
        else if (!parse_arg(BoundedIntArg(0, 1 << 16), num, thread, errh))
            ;
        else
            place.push_back({e, thread});
    }
    if (errh->nerrors() != before)
        return -1;
    int n = router()->nthreads();
    for (auto& p : place)
        p.first->set_home_thread_id(p.second % n);
    return 0;
}

QUILO_HOST_ELEMENT(StaticThreadSched);
