#include "etherswitch/wetherswitch.hh"

#include "common/registration.hh"

std::vector<LearningSwitch::Word> WEtherSwitch::initial_rules() const {
    std::vector<Word> r = default_rules();
    for (int in = 0; in < 2; ++in)
        for (int out = 0; out < 2; ++out)
            set_bit(&r[size_t(in) * size_t(nwords())], out, false);
    return r;
}

QUILO_REGISTER_ELEMENT(WEtherSwitch);
