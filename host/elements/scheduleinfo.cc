#include "scheduleinfo.hh"

#include <host/args.hh>
#include <host/confparse.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/router.hh>

#include <utility>

int ScheduleInfo::configure(std::vector<std::string>& conf, ErrorHandler* errh) {
    std::string prefix = name().substr(0, name().rfind('/') + 1);  // "" at the top level
    std::vector<std::pair<std::string, double>> params;
    int before = errh->nerrors();
    for (auto& arg : conf) {
        std::vector<std::string> words = cp_spacevec(arg);
        double param;
        if (words.size() != 2)
            errh->error("expected 'ELEMENT PARAM', got %<%s%>", arg.c_str());
        else if (!parse_arg(DoubleArg(), words[1], param, errh))
            ;
        else if (param < 0 || param > 32)
            errh->error("PARAM %<%s%> out of range (0 to 32)", words[1].c_str());
        else if (!router()->find(prefix + words[0]) && !router()->has_compound(prefix + words[0]))
            errh->error("%<%s%> does not name an element", words[0].c_str());
        else
            params.push_back({prefix + words[0], param});
    }
    if (errh->nerrors() != before)
        return -1;
    for (auto& [element, param] : params)
        router()->set_schedule_param(element, param);
    return 0;
}

QUILO_HOST_ELEMENT(ScheduleInfo);
