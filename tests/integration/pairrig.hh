// An appliance pair for integration tests: scripts/pair.sh builds the
// namespaces and runs the routers of the build under test; the rig reads and
// writes their handlers, runs commands in the namespaces and moves files
// between client and server with socat.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pairtest {

struct PairOptions {
    std::string conf;             // appliance configuration (default conf/appliance.click,
                                  // or conf/appliance-dualwan.click for dual_wan)
    std::string rate = "20Mbps";  // WAN rate each way ("0": unlimited)
    std::string delay = "5ms";    // one-way WAN delay
    std::string loss = "0";
    std::string reorder = "0";
    std::vector<std::string> defines, defines_a, defines_b;  // NAME=value
    int threads = 1;              // router threads of each appliance (-j)
    bool dual_wan = false;        // two routed paths (pair.sh -2)
    bool supervise = false;       // appliances under quilo-supervisor (pair.sh --supervise)
    int spokes = 0;               // a hub (router "b") and this many spokes ("a1" ..,
                                  // clients "client1" .., emulators "wan1" ..; pair.sh -H);
                                  // rate, delay, loss: comma lists, one value per spoke
    std::vector<std::string> env; // NAME=value for pair.sh and the processes it starts
};

class PairRig {
  public:
    explicit PairRig(PairOptions o = {});
    ~PairRig();
    PairRig(const PairRig&) = delete;
    PairRig& operator=(const PairRig&) = delete;

    // Builds the pair and waits until the tunnel is open; false (with the
    // script's output in error()) otherwise.
    bool up();
    const std::string& error() const { return err_; }
    const std::string& name() const { return name_; }
    std::string state_dir() const { return "/tmp/quilo-pair-" + name_; }
    std::string server_ip() const { return o_.dual_wan ? "10.77.2.2" : "10.77.0.2"; }

    // Handlers of router "a", "b" or "wan" (read: value without the
    // trailing newline; empty on failure).
    std::string read(const std::string& router, const std::string& handler);
    uint64_t count(const std::string& router, const std::string& handler);
    bool write(const std::string& router, const std::string& handler, const std::string& value);

    // Stops a router with a signal ("TERM", "KILL") / starts it again
    // (optionally with another configuration file); waits for the tunnel.
    bool stop(const std::string& router, const std::string& sig = "TERM");
    bool start(const std::string& router, const std::string& conf = "");
    bool wait_tunnel();

    // Runs a shell command inside a node's namespace ("client", "server",
    // "a", "b", "wan"); returns the exit status, output in *out.
    int exec(const std::string& node, const std::string& cmd, std::string* out = nullptr);
    std::string ns(const std::string& node) const { return name_ + "-" + node; }

    // Moves a file over one TCP connection that the client opens to the
    // server: download (server sends src, client writes dst) or upload.
    // Returns true when both socat ends succeeded within timeout_s.
    bool download(const std::string& src, const std::string& dst, int port, int timeout_s = 60,
                  const std::string& client = "client");
    bool upload(const std::string& src, const std::string& dst, int port, int timeout_s = 60);
    // The same, repeated (ports port, port + 1000, port + 2000) until the
    // tunnel carried it: on a lossy WAN a session whose SYN-ACK lost the
    // sending appliance's probe continues unoptimised, as designed (its
    // first tunnelled packet is reflected), which leaves a test of the
    // tunnel nothing to check. "Carried": the sender's flow lookup sent
    // more than 100 packets to a peer.
    bool carried_download(const std::string& src, const std::string& dst, int port);
    bool carried_upload(const std::string& src, const std::string& dst, int port);
    // Waits (about 10 s at most) until the server listens on TCP `port` or
    // has bound UDP `port`; false if it never does.
    bool server_listening(int port, bool udp = false);

    // Whole-frame byte counts: what an end host received, and what the WAN
    // emulator delivered towards A ("ba") or towards B ("ab").
    uint64_t host_rx_bytes(const std::string& node);
    uint64_t wan_bytes(const std::string& dir) { return count("wan", "bytes_" + dir + ".byte_count"); }

  private:
    int script(const std::string& args, std::string* out = nullptr);
    bool carried(const std::string& sender, int port, const std::function<bool(int)>& transfer);
    std::pair<bool, std::string> control(const std::string& router, const std::string& request);
    std::string wait_listening(int port, bool udp = false) const;

    PairOptions o_;
    std::string name_, err_, script_, build_;
    bool up_ = false;
};

// Source directory, build directory, and a shell runner that captures output.
std::string source_dir();
std::string build_dir();
int run(const std::string& cmd, std::string* out = nullptr);

// Test files: real text (the source tree's C++ files, repeated as needed)
// and pseudo-random bytes; both written to `path`, `bytes` long.
void write_text_file(const std::string& path, size_t bytes);
void write_random_file(const std::string& path, size_t bytes, uint32_t seed);
bool same_file(const std::string& a, const std::string& b);

// A private temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    std::string file(const std::string& n) const { return path + "/" + n; }
    std::string path;
};

}  // namespace pairtest

#define SKIP_UNLESS_PAIR_POSSIBLE()                                                          \
    do {                                                                                   \
        if (geteuid() != 0)                                                                \
            GTEST_SKIP() << "needs root: builds network namespaces for an appliance pair"; \
        if (pairtest::run("command -v socat >/dev/null && command -v ethtool >/dev/null") != 0) \
            GTEST_SKIP() << "needs socat and ethtool";                                     \
    } while (0)
