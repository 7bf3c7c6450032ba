// Capture files through WFromDump. The first input byte picks the keywords
// (FORCE_IP, a START_AFTER or END_AFTER window, SAMPLE); the rest is the
// file. Each input builds a router that replays the file into a sink and
// stops at its end, whatever the file holds.
#include "fuzz.hh"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Master* master = [] {
        fuzz::load_classes();
        return new Master(1);
    }();
    static fuzz::TempFile file("wfromdump");
    fuzz::Input in(data, size);
    uint8_t opt = in.u8();
    file.write(in.rest());

    std::string kw = "FILENAME " + file.path() + ", STOP true";
    if (opt & 1)
        kw += ", FORCE_IP true";
    if (opt & 2)
        kw += ", START_AFTER 0.5";
    if (opt & 4)
        kw += ", END_AFTER 2";
    if (opt & 8)
        kw += ", SAMPLE 0.5";
    SilentErrorHandler errh;
    Router* r = Router::create("f :: WFromDump(" + kw + ") -> s :: FuzzSink;", "fuzz.click", {}, &errh, master);
    if (!r)
        std::abort();   // the keywords above are all valid
    if (r->initialize(&errh) == 0)
        master->run(r);
    delete r;
    return 0;
}
