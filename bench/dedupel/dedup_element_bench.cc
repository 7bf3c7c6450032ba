// The Dedup element in a router against the byte-cache engine called
// directly, on the same 1320-byte TCP payloads, in one run: encoding new and
// repeated data at one appliance, rehydrating them at its peer. The element
// adds packet classification, the shim, the IP rewrite and the TCP checksum
// check; the engine side only encodes or decodes. Prints the throughput
// ratio element / engine (goal: at least 0.8) and the wire share.
//
//   dedup_element_bench [--rounds=N] [--packets=N]
#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/ipv4view.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "dedup/dedup.hh"
#include "dedup/persistentcache.hh"
#include "dedup/wdedup.hh"
#include "dedup/wdedupimpl.hh"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t PAYLOAD = 1320;
constexpr int DS_MB = 128;

// Keeps or drops what it receives, counting bytes.
class BenchSink : public Element {
  public:
    const char* class_name() const override { return "QuiloDedupBenchSink"; }
    const char* port_count() const override { return "1-/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        bytes += p->length();
        if (keep)
            kept.push_back(p);
        else
            p->kill();
    }
    void clear() {
        for (Packet* p : kept)
            p->kill();
        kept.clear();
        bytes = 0;
    }
    bool keep = false;
    size_t bytes = 0;
    std::vector<Packet*> kept;
};

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// IPv4 + TCP (20 bytes) + payload, checksums correct.
Bytes tcp_packet(const uint8_t* payload, size_t n) {
    Bytes b(40 + n, 0);
    b[0] = 0x45;
    b[2] = uint8_t((40 + n) >> 8);
    b[3] = uint8_t(40 + n);
    b[8] = 64;
    b[9] = 6;
    const uint8_t a[8] = {10, 0, 0, 1, 192, 168, 0, 1};
    std::memcpy(&b[12], a, 8);
    b[20] = 0x9c, b[22] = 0, b[23] = 80;
    b[32] = 0x50;
    b[33] = 0x18;
    std::memcpy(&b[40], payload, n);
    l4_set_checksum(b.data(), 20, b.size());
    ipv4_set_checksum(b.data(), 20);
    return b;
}

Packet* make(const Bytes& f) {
    WritablePacket* p = Packet::make(64, f.data(), uint32_t(f.size()), 64);
    p->set_network_header(p->data(), 20);
    return p;
}

void remove_dir(const std::string& d) {
    if (DIR* dir = opendir(d.c_str())) {
        while (dirent* e = readdir(dir))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                unlink((d + "/" + e->d_name).c_str());
        closedir(dir);
    }
    rmdir(d.c_str());
}

struct Appliance {
    Router* r = nullptr;
    Dedup* d = nullptr;
    BenchSink* s = nullptr;

    bool build(Master& m, const std::string& dir) {
        std::string conf = "WConf(MAX_PEERS 1, LOG_LEVEL 3); d :: Dedup(0, 1, DS_SIZE " + std::to_string(DS_MB) +
                           ", DS_DIR \"" + dir + "\"); s :: QuiloDedupBenchSink; Idle -> d;"
                           "d[0] -> [0]s; d[1] -> [1]s; d[2] -> [2]s;";
        ErrorHandler* errh = ErrorHandler::default_handler();
        r = Router::create(conf, "dedup_element_bench", {}, errh, &m);
        if (!r || r->initialize(errh) < 0)
            return false;
        d = dynamic_cast<Dedup*>(r->find("d"));
        s = dynamic_cast<BenchSink*>(r->find("s"));
        d->run_timer(nullptr);
        return d->engine() && d->engine()->wait_prepared(120000);
    }
};

struct Row {
    const char* name;
    double engine = 1e9, element = 1e9;  // best seconds
    size_t in = 0, wire = 0;
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    size_t packets = 3000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 9));
        else if (std::strncmp(argv[i], "--packets=", 10) == 0)
            packets = size_t(std::max(10, std::atoi(argv[i] + 10)));
    }
    WLogger::log_level = 3;
    set_dedup_message_sink([](const char*) {});
    click_add_element_type<BenchSink>("QuiloDedupBenchSink");
    if (init_module() != 0) {
        std::fprintf(stderr, "init_module failed\n");
        return 1;
    }
    char tmpl[] = "/tmp/quilo_dedupel_bench_XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string root = tmpl;
    Master master(1);
    Appliance a, b;
    if (!a.build(master, root + "/a") || !b.build(master, root + "/b")) {
        std::fprintf(stderr, "router or datastore failed\n");
        return 1;
    }
    WDedup ea(root + "/ea/peer1", DS_MB, WDedup::CHUNK_LEN), eb(root + "/eb/peer1", DS_MB, WDedup::CHUNK_LEN);
    if (!ea.wait_prepared(120000) || !eb.wait_prepared(120000)) {
        std::fprintf(stderr, "engine datastore failed\n");
        return 1;
    }

    Row rows[4] = {{"encode new"}, {"encode repeated"}, {"decode new"}, {"decode repeated"}};
    std::mt19937_64 rng(1);
    Bytes out(WDedup::MAX_PAYLOAD), back(WDedup::MAX_PAYLOAD);
    std::set<uint64_t> missing;
    size_t lost = 0;
    for (int round = 0; round < rounds; ++round) {
        // New data every round: random bytes, which no datastore has seen.
        Bytes data(packets * PAYLOAD);
        for (size_t i = 0; i + 8 <= data.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(&data[i], &v, 8);
        }
        std::vector<Bytes> frames;
        for (size_t k = 0; k < packets; ++k)
            frames.push_back(tcp_packet(&data[k * PAYLOAD], PAYLOAD));
        for (int pass = 0; pass < 2; ++pass) {
            Row& enc = rows[pass];
            Row& dec = rows[2 + pass];
            // Engine alone: encode at ea, decode at eb.
            std::vector<Bytes> encoded;
            double t0 = thread_cpu_seconds();
            for (size_t k = 0; k < packets; ++k) {
                int n = ea.compress(&data[k * PAYLOAD], out.data(), int(PAYLOAD), WDedup::MAX_PAYLOAD);
                ea.commit();  // as the element does after each packet
                encoded.emplace_back(out.begin(), out.begin() + std::max(n, 0));
            }
            enc.engine = std::min(enc.engine, thread_cpu_seconds() - t0);
            t0 = thread_cpu_seconds();
            for (const Bytes& e : encoded) {
                eb.decompress(e.data(), back.data(), int(e.size()), WDedup::MAX_PAYLOAD, missing, false);
                eb.commit();
            }
            dec.engine = std::min(dec.engine, thread_cpu_seconds() - t0);

            // Element: packets are built before the clock starts.
            std::vector<Packet*> in;
            for (const Bytes& f : frames)
                in.push_back(make(f));
            a.s->keep = true;
            t0 = thread_cpu_seconds();
            for (Packet* p : in)
                a.d->push(0, p);
            enc.element = std::min(enc.element, thread_cpu_seconds() - t0);
            enc.in = packets * PAYLOAD;
            enc.wire = a.s->bytes;
            std::vector<Packet*> wire;
            wire.swap(a.s->kept);
            a.s->clear();
            b.s->keep = false;
            b.s->bytes = 0;
            t0 = thread_cpu_seconds();
            for (Packet* p : wire)
                b.d->push(0, p);
            dec.element = std::min(dec.element, thread_cpu_seconds() - t0);
            dec.in = enc.wire;
            dec.wire = b.s->bytes;
            if (dec.wire != frames.size() * frames[0].size())
                ++lost;
        }
    }
    std::printf("Dedup element against the engine alone; %zu-byte TCP payloads, %zu packets; best of %d rounds, "
                "thread CPU time.\n",
                PAYLOAD, packets, rounds);
    std::printf("%-18s %12s %12s %10s %12s\n", "case", "engine MB/s", "element MB/s", "elem/eng", "out/in bytes");
    double worst = 1e9;
    for (const Row& r : rows) {
        double mb = double(packets * PAYLOAD) / 1e6;
        double ratio = r.engine / r.element;
        worst = std::min(worst, ratio);
        std::printf("%-18s %12.1f %12.1f %10.2f %12.3f\n", r.name, mb / r.engine, mb / r.element, ratio,
                    double(r.wire) / double(r.in ? r.in : 1));
    }
    std::printf("\nworst element/engine throughput ratio: %.2f (goal >= 0.80)\n", worst);
    if (lost)
        std::printf("WARNING: %zu passes did not deliver every byte\n", lost);
    delete a.r;
    delete b.r;
    for (const char* d : {"/a", "/b", "/ea", "/eb"})
        remove_dir(root + d);
    rmdir(root.c_str());
    return lost ? 1 : 0;
}
