#include "tee.hh"

#include <host/args.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>

int Tee::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    int n = noutputs();
    if (Args(conf, this, errh).read_p("N", n).complete() < 0)
        return -1;
    if (n != noutputs())
        return errh->error("%d outputs implies %d arms", noutputs(), noutputs());
    return 0;
}

void Tee::push(int, Packet* p) {
    int n = noutputs();
    for (int i = 0; i < n - 1; ++i)
        if (Packet* q = p->clone())
            output(i).push(q);
    output(n - 1).push(p);
}

QUILO_HOST_ELEMENT(Tee);
