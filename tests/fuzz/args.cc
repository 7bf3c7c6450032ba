// Args and the splitters under it. The input is an element's argument text:
// it is split into arguments and read with keywords of every parser type,
// and every argument also goes through each parser on its own. The
// splitters' documented inverses must hold: cp_unquote(cp_quote(s)) == s,
// cp_quote(s) is one argument, cp_split_line(cp_join_line(v)) == v.
#include <host/args.hh>
#include <host/confparse.hh>
#include <host/handlercall.hh>
#include <host/timestamp.hh>

#include "fuzz.hh"

namespace {

void check(bool ok, const char* what, const std::string& s) {
    if (!ok) {
        std::fprintf(stderr, "%s fails for \"%s\"\n", what, s.c_str());
        std::abort();
    }
}

// Every parser on one value; results are thrown away.
void parse_all(const std::string& v) {
    int64_t i64;
    uint16_t u16;
    uint8_t u8;
    int i;
    bool b;
    double d;
    float f;
    int64_t ns;
    uint32_t ms;
    Timestamp ts;
    IPAddress a, m;
    EtherAddress e;
    std::string s;
    IntArg().parse(v, i64);
    IntArg(16).parse(v, u16);
    BoundedIntArg(-5, 300).parse(v, u8);
    BoolArg().parse(v, b);
    DoubleArg().parse(v, d);
    DoubleArg().parse(v, f);
    SecondsArg().parse_nsec(v, ns);
    SecondsArg(3).parse(v, ms);
    MillisecondsArg().parse(v, d);
    SecondsArg().parse(v, ts);
    IPAddressArg().parse(v, a);
    IPPrefixArg(true).parse(v, a, m);
    EtherAddressArg().parse(v, e);
    IPPortArg(17).parse(v, u16);
    IPProtocolArg().parse(v, i);
    AnnoArg(4).parse(v, i);
    WordArg().parse(v, s);
    StringArg().parse(v, s);
    std::string kw, rest;
    cp_keyword(v, &kw, &rest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> conf = cp_argvec(text);
    for (const std::string& a : conf)
        parse_all(a);
    cp_spacevec(text);
    std::string words = text;
    for (int k = 0; k < 64 && !words.empty(); ++k)
        cp_shift_spacevec(words);

    {
        std::vector<std::string> c = conf;
        int limit = 0, proto = 0;
        uint16_t port = 0;
        bool active = false;
        double rate = 0;
        Timestamp interval;
        IPAddress addr, pfx, mask;
        EtherAddress eth;
        std::string name;
        std::vector<int> all;
        Args(c, nullptr)
            .read_mp("LIMIT", limit)
            .read_p("NAME", WordArg(), name)
            .read("PORT", IPPortArg(6), port)
            .read("PROTO", IPProtocolArg(), proto)
            .read_or_set("ACTIVE", active, true)
            .read("RATE", rate)
            .read("INTERVAL", interval)
            .read("ADDR", addr)
            .read("PREFIX", IPPrefixArg(), pfx, mask)
            .read("ETH", eth)
            .read_all("N", all)
            .complete();
    }

    const std::string q = cp_quote(text);
    check(cp_unquote(q) == text, "cp_unquote(cp_quote(s)) == s", text);
    check(cp_argvec(q).size() == 1, "cp_quote(s) is one argument", text);
    // The fields of a peers-file style line survive a join and a split.
    std::vector<std::string> fields = conf;
    if (fields.size() > 1 || (fields.size() == 1 && !fields[0].empty()))
        check(cp_split_line(cp_join_line(fields)) == fields, "cp_split_line(cp_join_line(v)) == v", text);
    return 0;
}
