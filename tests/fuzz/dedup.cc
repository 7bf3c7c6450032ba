// The byte cache's stream decoder and sync packets, through two Dedup
// elements wired as the two appliances of a link: `enc` encodes packets from
// its LAN and hands them to `dd`, whose sync traffic goes back to `enc`.
// Packets with flag kFromLan enter at `enc` (plain TCP or UDP); the others
// enter at `dd` as tunnel packets from the peer, whatever their shim, dedup
// flags and encoded stream hold. Rehydrated packets must be sound IPv4.
#include <sys/stat.h>

#include "dedup/persistentcache.hh"
#include "fuzz.hh"

namespace {

constexpr uint8_t kFromLan = 0x02;

struct Link {
    fuzz::TempFile dir{"dedup"};
    fuzz::LiveRouter* r = nullptr;
    Link() {
        set_dedup_message_sink([](const char*) {});
        mkdir(dir.path().c_str(), 0700);
        std::string ds = ", DS_SIZE 1, DS_DIR " + dir.path() + ")";
        r = new fuzz::LiveRouter(
            "WConf(MAX_PEERS 1, LOG_LEVEL 4); s :: FuzzSink; ok :: FuzzIPv4Check;"
            "Idle -> enc :: Dedup(0, 1" + ds + " -> dd :: Dedup(0, 2" + ds + " -> s;"
            "enc[1] -> s; enc[2] -> ok; dd[1] -> enc; dd[2] -> [1]ok;");
        for (int i = 0; i < 2000; ++i) {
            if (r->read("enc.ds_ready") == "true" && r->read("dd.ds_ready") == "true")
                return;
            usleep(10000);
        }
        std::fprintf(stderr, "dedup: the datastores did not open\n");
        std::abort();
    }
    ~Link() {
        delete r;
        for (int ds : {1, 2}) {
            std::string p = dir.path() + "/peer" + std::to_string(ds);
            unlink(p.c_str());
            unlink((p + ".info").c_str());
        }
        rmdir(dir.path().c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Link link;
    static Element* enc = link.r->find("enc");
    static Element* dd = link.r->find("dd");
    fuzz::Input in(data, size);
    fuzz::InputPacket p;
    for (int i = 0; i < 64 && fuzz::next_packet(in, &p); ++i) {
        if (p.flags & fuzz::kFixSums)
            fuzz::fix_sums(p.ip);
        link.r->push(p.flags & kFromLan ? enc : dd, 0, fuzz::make_frame(p.ip));
    }
    return 0;
}
