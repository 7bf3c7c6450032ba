// WMTComp with 1, 2 and 3 workers against WComp on one thread, in one run,
// on the same 1400-byte payloads of real files of this machine (text, HTML,
// executables, already-compressed data, one file after another), zstd
// level 3 and zlib level 6, streaming. Packets are built before the clock
// starts; WComp gets them pushed on the calling thread, WMTComp pulls them on
// its home thread (thread 0 of 4) and its workers run on threads 1 to 3. On a
// machine with fewer CPUs than router threads, 2 workers also run with one
// router thread per CPU ("WMTComp/2 -jN": the second worker shares the home
// thread).
//
// Prints packets per second and the speed-up against WComp (goals: 2
// workers at least 1.6, 1 worker at least 0.85), and the CPU time the process
// spent per packet (all threads), which shows the cost of the hand-over
// between threads whatever else the machine runs. A last line runs two
// WComps at once, one per thread, which bounds what two workers can reach on
// these cores. "engine us" is the time spent inside the compressor per packet
// (all workers together): CPU us/pkt minus it is the cost of the hand-over,
// and 2 cores / CPU us/pkt bounds the packet rate on a two-core machine. The
// last columns count task runs per 100 packets (the pull task also runs while
// the source is empty at the end of a round) and the process's context
// switches per 100 packets, each a thread that went to sleep or lost its
// core.
//
//   mtcomp_bench [--packets=N] [--rounds=N] [--burst=N] [--engine=zstd-3|zlib-6]
//                [--workers=N] [--host-threads=N]
// --engine and --workers run only that engine and that many workers (for
// profiling one case); --host-threads replaces the 4 router threads.
#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/package.hh>
#include <host/packet.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bare.hh"
#include "common/registration.hh"
#include "common/wlogger.hh"
#include "compression/shim_packet.hh"
#include "compression/wcomp.hh"
#include "compression/wmtcomp.hh"
#include "corpus.hh"

using namespace bench;

namespace {

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Hands out the prepared packets on pull; records when the first one went.
class BenchPullSource : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchPullSource"; }
    const char* port_count() const override { return "0/1"; }
    const char* processing() const override { return PULL; }
    Packet* pull(int) override {
        if (next >= packets.size())
            return nullptr;
        if (next == 0)
            start = now_s();
        return packets[next++];
    }
    std::vector<Packet*> packets;
    size_t next = 0;
    double start = 0;
};

// Counts and drops; records when the last expected packet arrived.
class BenchSink : public Element {
  public:
    const char* class_name() const override { return "QuiloBenchCountSink"; }
    const char* port_count() const override { return "1/0"; }
    const char* processing() const override { return PUSH; }
    void push(int, Packet* p) override {
        bytes += p->length();
        p->kill();
        if (++count == expect) {
            end.store(now_s());
            end.notify_one();
        }
    }
    size_t bytes = 0, count = 0, expect = 0;
    // Set at the last packet. The caller sleeps on it rather than polling: a
    // thread that woke every millisecond would take the workers' cores a
    // thousand times a second.
    std::atomic<double> end{0};
};

std::vector<Packet*> make_all(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<Packet*> v;
    v.reserve(frames.size());
    for (const auto& f : frames) {
        WritablePacket* p = Packet::make(64, f.data(), uint32_t(f.size()), 0);
        p->set_network_header(p->data(), 20);
        v.push_back(p);
    }
    return v;
}

// Context switches of the whole process so far: voluntary (a thread went
// to sleep) and involuntary (a thread lost its core while it had work).
std::pair<long, long> context_switches() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_nvcsw, u.ru_nivcsw};
}

double process_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Result {
    double pps = 0;
    size_t wire = 0;
    double cpu_us = 0;     // CPU time of the whole process per packet
    double engine_us = 0;  // time inside the compressor per packet (wall clock)
    // WMTComp: thread wake-ups per 100 packets (worker runs that found work
    // after sleeping are not told apart; these count task runs).
    double pull_runs = 0, push_runs = 0, comp_runs = 0, idle_runs = 0;
    // Context switches per 100 packets, voluntary and involuntary.
    double vcs = 0, ivcs = 0;
};

// A WComp router over the frames, built and ready to be pushed into.
struct WCompRun {
    Master master{1};
    Router* r = nullptr;
    WComp* c = nullptr;
    BenchSink* s = nullptr;
    std::vector<Packet*> in;
    WCompRun(const std::string& args, const std::vector<std::vector<uint8_t>>& frames) {
        ErrorHandler* errh = ErrorHandler::default_handler();
        r = Router::create("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 3); Idle -> c :: WComp(" + args +
                               ") -> s :: QuiloBenchCountSink;",
                           "mtcomp_bench", {}, errh, &master);
        if (!r || r->initialize(errh) < 0)
            std::exit(1);
        c = dynamic_cast<WComp*>(r->find("c"));
        s = dynamic_cast<BenchSink*>(r->find("s"));
        c->unforce_stateless();
        in = make_all(frames);
    }
    ~WCompRun() { delete r; }
    void push_all() {
        for (Packet* p : in)
            c->push(0, p);
    }
};

Result run_wcomp(const std::string& args, const std::vector<std::vector<uint8_t>>& frames) {
    WCompRun w(args, frames);
    double t0 = now_s(), c0 = process_cpu_s();
    w.push_all();
    double t = now_s() - t0;
    return Result{double(frames.size()) / t, w.s->bytes, (process_cpu_s() - c0) * 1e6 / double(frames.size()),
                  double(w.c->busy_ns()) * 1e-3 / double(frames.size())};
}

// Two WComps with nothing shared, one per thread, each over all the frames:
// what this machine's cores give two independent compressors. WMTComp's two
// workers cannot beat it, so it is the ceiling their speed-up is read against
// (cores that share a physical core, or memory traffic, hold it below 2).
Result run_wcomp_pair(const std::string& args, const std::vector<std::vector<uint8_t>>& frames) {
    WCompRun a(args, frames), b(args, frames);
    std::atomic<int> ready{0};
    auto go = [&ready](WCompRun& w) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        w.push_all();
    };
    double t0 = now_s();
    std::thread ta(go, std::ref(a));
    go(b);
    ta.join();
    double t = now_s() - t0;
    return Result{2.0 * double(frames.size()) / t, a.s->bytes};
}

Result run_wmtcomp(const std::string& args, int workers, int burst, int host_threads,
                   const std::vector<std::vector<uint8_t>>& frames) {
    Master master(host_threads);
    ErrorHandler* errh = ErrorHandler::default_handler();
    Router* r = Router::create("conf :: WConf(MAX_PEERS 1, LOG_LEVEL 3); src :: QuiloBenchPullSource -> c :: WMTComp(" +
                                   args + ", THREADS " + std::to_string(workers) + ", BURST " + std::to_string(burst) + ") -> s :: QuiloBenchCountSink;",
                               "mtcomp_bench", {}, errh, &master);
    if (!r || r->initialize(errh) < 0)
        std::exit(1);
    BenchPullSource* src = dynamic_cast<BenchPullSource*>(r->find("src"));
    BenchSink* s = dynamic_cast<BenchSink*>(r->find("s"));
    dynamic_cast<WCompBase*>(r->find("c"))->unforce_stateless();
    src->packets = make_all(frames);
    s->expect = frames.size();
    double c0 = process_cpu_s();
    auto cs0 = context_switches();
    std::thread t([&] { master.run(r); });
    s->end.wait(0);
    double c1 = process_cpu_s();
    auto cs1 = context_switches();
    master.please_stop();
    t.join();
    Result res{double(frames.size()) / (s->end.load() - src->start), s->bytes,
               (c1 - c0) * 1e6 / double(frames.size())};
    WMTComp* mt = dynamic_cast<WMTComp*>(r->find("c"));
    double n = double(frames.size()) / 100;
    res.vcs = double(cs1.first - cs0.first) / n;
    res.ivcs = double(cs1.second - cs0.second) / n;
    for (int i = 0; i < mt->threads(); ++i) {
        WCompTaskInfo& w = mt->worker(i);
        res.engine_us += double(w.count[6].load()) * 1e-3 / double(frames.size());
        res.comp_runs += double(w.count[0].load()) / n;
        res.idle_runs += double(w.count[5].load()) / n;
    }
    res.pull_runs = double(mt->pull_task().runs()) / n;
    res.push_runs = double(mt->push_task().runs()) / n;
    delete r;
    return res;
}

}  // namespace

int main(int argc, char** argv) {
    size_t npackets = 20000;
    int rounds = 5;
    int burst = 64;
    std::string only_engine;
    int only_workers = 0;
    int host_threads = 4;
    int ncpu = int(std::max(1u, std::thread::hardware_concurrency()));
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--packets=", 10) == 0)
            npackets = size_t(std::max(100, std::atoi(argv[i] + 10)));
        else if (std::strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, std::atoi(argv[i] + 9));
        else if (std::strncmp(argv[i], "--burst=", 8) == 0)
            burst = std::clamp(std::atoi(argv[i] + 8), 1, 255);
        else if (std::strncmp(argv[i], "--engine=", 9) == 0)
            only_engine = argv[i] + 9;
        else if (std::strncmp(argv[i], "--workers=", 10) == 0)
            only_workers = std::clamp(std::atoi(argv[i] + 10), 1, 3);
        else if (std::strncmp(argv[i], "--host-threads=", 15) == 0)
            host_threads = std::clamp(std::atoi(argv[i] + 15), 1, 8);
    }
    WLogger::log_level = 3;
    click_add_element_type<BenchPullSource>("QuiloBenchPullSource");
    click_add_element_type<BenchSink>("QuiloBenchCountSink");
    if (init_module() != 0) {
        std::fprintf(stderr, "init_module failed\n");
        return 1;
    }
    // Each file in order, one after another, as transfers bring them. The
    // files are distinct, so that no payload repeats: a corpus that repeats
    // within zstd's window compresses to a fraction of real traffic's cost
    // and leaves only the hand-over between threads to measure.
    std::vector<std::vector<uint8_t>> frames;
    std::vector<corpus::Sample> samples = corpus::distinct_files(npackets * PAYLOAD);
    if (samples.empty())
        samples = corpus::load(1024 * 1024);
    for (size_t i = 0; frames.size() < npackets; ++i)
        for (const auto& p : payloads(samples[i % samples.size()]))
            if (frames.size() < npackets)
                frames.push_back(tcp_packet(p));
    size_t bytes = 0;
    for (auto& f : frames)
        bytes += f.size();

    std::printf("WMTComp (home thread 0 of %d, worker i on thread (1 + i) mod %d) against WComp on one thread;\n"
                "%zu packets of %zu-byte payloads, streaming, BURST %d; best of %d rounds, cases in turn; %u CPUs online.\n",
                host_threads, host_threads, frames.size(), PAYLOAD, burst, rounds, std::thread::hardware_concurrency());
    std::printf("%-22s %10s %8s %10s %10s %7s   %s\n", "engine/element", "packets/s", "speed-up", "CPU us/pkt",
                "engine us", "wire.x",
                "per 100 packets: runs pull push worker (idle), context switches (involuntary)");
    struct Engine {
        const char* name;
        const char* args;
    };
    for (const Engine& e : {Engine{"zstd-3", "COMPRESSOR 4, LEVEL 3, METHOD streaming"},
                            Engine{"zlib-6", "COMPRESSOR 5, LEVEL 6, METHOD streaming"}}) {
        if (!only_engine.empty() && only_engine != e.name)
            continue;
        // The rounds take the cases in turn, so that a neighbour that slows
        // the machine for a few seconds costs every case a round rather than
        // one case all of its rounds; each case keeps its best round.
        Result base, pair, best[4], cores2;
        auto keep_best = [](Result& kept, const Result& x) {
            if (x.pps > kept.pps)
                kept = x;
        };
        for (int i = 0; i < rounds; ++i) {
            keep_best(base, run_wcomp(e.args, frames));
            for (int w = 1; w <= 3; ++w)
                if (!only_workers || w == only_workers)
                    keep_best(best[w], run_wmtcomp(e.args, w, burst, host_threads, frames));
            if ((!only_workers || only_workers == 2) && ncpu < host_threads)
                keep_best(cores2, run_wmtcomp(e.args, 2, burst, ncpu, frames));
            if (!only_workers || only_workers == 2)
                keep_best(pair, run_wcomp_pair(e.args, frames));
        }
        std::printf("%-22s %10.0f %8.2f %10.1f %10.1f %7.2f\n", (std::string(e.name) + " WComp").c_str(), base.pps,
                    1.0, base.cpu_us, base.engine_us, double(bytes) / double(base.wire));
        auto print_mt = [&](const std::string& label, const Result& x) {
            std::printf("%-22s %10.0f %8.2f %10.1f %10.1f %7.2f   %.0f %.0f %.0f (%.0f), %.1f (%.1f)\n",
                        (std::string(e.name) + " " + label).c_str(), x.pps, x.pps / base.pps, x.cpu_us,
                        x.engine_us, double(bytes) / double(x.wire), x.pull_runs, x.push_runs, x.comp_runs,
                        x.idle_runs, x.vcs, x.ivcs);
        };
        for (int w = 1; w <= 3; ++w)
            if (!only_workers || w == only_workers)
                print_mt("WMTComp/" + std::to_string(w), best[w]);
        // Two workers with one router thread per core: the second worker
        // shares the home thread, and no thread waits for a core.
        if (cores2.pps > 0)
            print_mt("WMTComp/2 -j" + std::to_string(ncpu), cores2);
        if (pair.pps > 0)
            std::printf("%-22s %10.0f %8.2f   (two independent WComps, one per core: the ceiling for 2 workers)\n",
                        (std::string(e.name) + " 2 x WComp").c_str(), pair.pps, pair.pps / base.pps);
    }
    std::printf("\ngoals: 2 workers >= 1.60 x WComp, 1 worker >= 0.85 x WComp (on this machine's cores)\n");
    return 0;
}
