// WComp in a router against the bare library calls, on the same 1400-byte
// payloads (text, HTML, executables, already-compressed files of this
// machine), per engine and method, in one run. Each packet is pushed through
// WComp (checksum, compression, shim, IP header) and dropped; the library
// side only compresses. Prints the throughput ratio element /
// library (goal: at least 0.8).
//
//   wcomp_bench [--rounds=N]
#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bare.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wcomp.hh"
#include "corpus.hh"

using namespace bench;

namespace {

// Counts and drops.
class BenchSink : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchSink"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        bytes += p->length();
        ++count;
        p->kill();
    }
    size_t bytes = 0, count = 0;
};

struct Engine {
    int id;
    const char* name;
    int level;
};
const Engine kEngines[] = {{ENGINE_LZ4, "lz4", 1}, {ENGINE_LZ4HC, "lz4hc", 1}, {ENGINE_ZSTD, "zstd", 3}, {ENGINE_ZLIB, "zlib", 6}};

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 9));
    WLogger::log_level = 3;  // hard_set/unforce between passes log at info
    click_add_element_type<BenchSink>("QuiloBenchSink");
    if (init_module() != 0) {
        std::fprintf(stderr, "init_module failed\n");
        return 1;
    }
    Master master(1);
    auto samples = corpus::load(1024 * 1024);
    std::printf("WComp element against bare library calls; %zu-byte payloads; best of %d passes, thread CPU time.\n",
                PAYLOAD, rounds);
    std::printf("%-28s %10s %10s %8s %8s\n", "engine/method/data", "lib MB/s", "elem MB/s", "elem/lib", "wire.x");
    double worst = 1e9;
    for (const auto& e : kEngines) {
        for (bool streaming : {false, true}) {
            std::string conf = "conf :: WConf(MAX_PEERS 1, LOG_LEVEL 3); Idle -> c :: WComp(COMPRESSOR " +
                               std::to_string(e.id) + ", LEVEL " + std::to_string(e.level) + ", METHOD " +
                               (streaming ? "streaming" : "stateless") + ", FORCE_STATELESS " +
                               (streaming ? "false" : "true") + ") -> s :: QuiloBenchSink;";
            ErrorHandler* errh = ErrorHandler::default_handler();
            Router* r = Router::create(conf, "wcomp_bench", {}, errh, &master);
            if (!r || r->initialize(errh) < 0) {
                std::fprintf(stderr, "router failed\n");
                return 1;
            }
            WComp* comp = dynamic_cast<WComp*>(r->find("c"));
            BenchSink* sink = dynamic_cast<BenchSink*>(r->find("s"));
            for (const auto& s : samples) {
                auto pkts = payloads(s);
                std::vector<std::vector<uint8_t>> frames;
                size_t bytes = 0;
                for (const auto& p : pkts) {
                    frames.push_back(tcp_packet(p));
                    bytes += p.size();
                }
                Bare lib(e.id, e.level);
                double best_lib = 1e9, best_el = 1e9;
                size_t wire = 0;
                for (int round = 0; round < rounds; ++round) {
                    lib.reset();
                    double t0 = thread_cpu_seconds();
                    for (const auto& p : pkts)
                        lib.compress(p.data(), p.size(), streaming);
                    best_lib = std::min(best_lib, thread_cpu_seconds() - t0);
                    comp->hard_set_force_stateless();
                    if (streaming)
                        comp->unforce_stateless();
                    sink->bytes = 0;
                    // Packets are built before the clock starts: only WComp's work is timed.
                    std::vector<Packet*> in;
                    for (const auto& f : frames)
                        in.push_back(Packet::make(64, f.data(), uint32_t(f.size()), 0));  // no tailroom: growth would copy
                    t0 = thread_cpu_seconds();
                    for (Packet* p : in)
                        comp->push(0, p);
                    best_el = std::min(best_el, thread_cpu_seconds() - t0);
                    wire = sink->bytes;
                }
                double ratio = best_lib / best_el;
                worst = std::min(worst, ratio);
                size_t orig = 0;
                for (const auto& f : frames)
                    orig += f.size();
                std::printf("%-28s %10.1f %10.1f %8.2f %8.2f\n",
                            (std::string(e.name) + (streaming ? "/streaming/" : "/stateless/") + s.kind).c_str(),
                            double(bytes) / best_lib / 1e6, double(bytes) / best_el / 1e6, ratio,
                            double(orig) / double(wire ? wire : 1));
            }
            delete r;
        }
    }
    std::printf("\nworst element/library throughput ratio: %.2f (goal >= 0.80)\n", worst);
    return 0;
}
