#include "common/wbase.hh"

#include <host/errorhandler.hh>
#include <host/router.hh>

#include "common/wconf.hh"

int WBase::configure(std::vector<std::string>&, ErrorHandler* errh) {
    // Search every element, not only those before us: WConf is configured
    // first because of its phase, wherever it stands in the text.
    std::vector<Element*> elements = router()->elements();
    for (Element* e : elements) {
        if (e->cast("WConf")) {
            if ((_wconf = dynamic_cast<WConf*>(e)))
                return 0;
        }
    }
    _wconf = nullptr;
    return errh->error("WConf not found");
}
