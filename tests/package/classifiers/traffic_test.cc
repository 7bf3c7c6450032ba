// Protocol detection on real traffic. Two network namespaces joined by a
// veth pair: real servers (nginx for HTTP and HTTPS with a certificate made
// here, dnsmasq, sshd with keys made here, a UDP sink) and real clients
// (curl, a DNS query, ssh, a bulk UDP sender). tcpdump captures the
// conversation; the capture is replayed through
// FromDump -> SessionManager -> WDPI in the driver, and the protocols
// detected are compared with what nDPI's own ndpiReader finds in the same
// capture.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int sh(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string o;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        o.append(buf, n);
    int st = pclose(p);
    if (out)
        *out = o;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string build_dir() {
    if (const char* b = getenv("QUILO_BUILD_DIR"))
        return b;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = 0;
    std::string exe(self);
    return exe.substr(0, exe.rfind("/bin/"));
}

const char* CLIENT = "10.88.0.1";
const char* SERVER = "10.88.0.2";

// The namespaces, the servers in them and a scratch directory; everything
// goes when the lab does.
class Lab {
  public:
    Lab() : c_("qdpi" + std::to_string(getpid()) + "c"), s_("qdpi" + std::to_string(getpid()) + "s") {
        char tmpl[] = "/tmp/quilo_dpi_XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : "";
        chmod(dir_.c_str(), 0755);  // nginx's workers read the files as another user
    }
    ~Lab() {
        for (auto it = pids_.rbegin(); it != pids_.rend(); ++it)
            stop(*it, SIGTERM);
        sh("ip netns del " + c_ + "; ip netns del " + s_);
        if (!dir_.empty() && !getenv("QUILO_KEEP_LAB"))
            sh("rm -rf " + dir_);
    }
    const std::string& dir() const { return dir_; }
    std::string in(bool server) const { return "ip netns exec " + (server ? s_ : c_) + " "; }

    bool setup(std::string* out) {
        const std::string& d = dir_;
        std::string script =
            "set -e; D=" + d + "; C=" + c_ + "; S=" + s_ +
            "; ip netns add $C; ip netns add $S"
            "; ip link add $C netns $C type veth peer name $S netns $S"
            "; for n in $C $S; do ip netns exec $n sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
            "net.ipv6.conf.default.disable_ipv6=1; ip -n $n link set lo up; ip -n $n link set $n up; "
            "ip netns exec $n ethtool -K $n tso off gso off gro off >/dev/null 2>&1 || true; done"
            "; ip -n $C addr add " + std::string(CLIENT) + "/24 dev $C; ip -n $S addr add " + SERVER + "/24 dev $S" +
            "; openssl req -x509 -newkey rsa:2048 -nodes -keyout $D/tls.key -out $D/tls.crt -days 2 "
            "-subj /CN=www.quilo.test 2>/dev/null"
            "; mkdir -p $D/www; head -c 300000 /dev/urandom > $D/www/file; yes quilo-bulk-transfer | head -c 200000 > $D/blob"
            "; ssh-keygen -q -t ed25519 -N '' -f $D/host_key; ssh-keygen -q -t ed25519 -N '' -f $D/client_key"
            "; cp $D/client_key.pub $D/authorized_keys; mkdir -p /run/sshd";
        write("nginx.conf",
              "worker_processes 1; daemon off; pid " + d + "/nginx.pid; error_log " + d + "/nginx.err;\n"
              "events { worker_connections 64; }\n"
              "http { access_log off; client_body_temp_path " + d + "/t1; proxy_temp_path " + d + "/t2;\n"
              "  fastcgi_temp_path " + d + "/t3; uwsgi_temp_path " + d + "/t4; scgi_temp_path " + d + "/t5;\n"
              "  server { listen " + SERVER + ":80; root " + d + "/www; }\n"
              "  server { listen " + SERVER + ":443 ssl; ssl_certificate " + d + "/tls.crt;\n"
              "           ssl_certificate_key " + d + "/tls.key; root " + d + "/www; } }\n");
        write("sshd_config", "Port 22\nListenAddress " + std::string(SERVER) + "\nHostKey " + d +
                                 "/host_key\nPidFile " + d + "/sshd.pid\nAuthorizedKeysFile " + d +
                                 "/authorized_keys\nPermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\n");
        return sh(script, out) == 0;
    }

    // Starts `cmd` in a namespace in the background; its output goes to `log`.
    void spawn(bool server, const std::string& cmd, const std::string& log) {
        std::string out;
        sh(in(server) + cmd + " >" + dir_ + "/" + log + " 2>&1 & echo $!", &out);
        if (pid_t p = pid_t(atoi(out.c_str())); p > 0)
            pids_.push_back(p);
    }
    pid_t last() const { return pids_.empty() ? 0 : pids_.back(); }

    // Waits (5 s at most) until `pattern` shows in the output of `cmd`.
    bool wait_for(const std::string& cmd, const std::string& pattern) {
        for (int i = 0; i < 50; ++i) {
            std::string out;
            sh(cmd, &out);
            if (out.find(pattern) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Signals one process we started and waits (3 s at most) for it to go.
    static void stop(pid_t pid, int sig) {
        if (pid <= 0 || kill(pid, sig) != 0)
            return;
        for (int i = 0; i < 30 && kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, SIGKILL);
    }

  private:
    void write(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }

    std::string c_, s_, dir_;
    std::vector<pid_t> pids_;
};

// "proto lower-endpoint higher-endpoint" -> application protocol name.
using Sessions = std::map<std::string, std::string>;

std::string session_key(const std::string& proto, const std::string& a, const std::string& b) {
    return proto + " " + std::min(a, b) + " " + std::max(a, b);
}

// Lines of the flows handler: "ID tcp A:P <-> B:P app=NAME ... host=NAME ...".
Sessions parse_ours(const std::string& text, std::map<std::string, std::string>* hosts) {
    Sessions s;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream w(line);
        std::string id, proto, a, arrow, b, app, master, packets, state, host;
        if (!(w >> id >> proto >> a >> arrow >> b >> app >> master >> packets >> state >> host) ||
            app.rfind("app=", 0) != 0 || host.rfind("host=", 0) != 0)
            continue;
        std::string k = session_key(proto, a, b);
        s[k] = app.substr(4);
        (*hosts)[k] = host.substr(5);
    }
    return s;
}

// ndpiReader -v 2: "N TCP A:P <-> B:P [proto: 91.126/TLS.Google][...]" ("->"
// for one-way flows); the application protocol is the last name.
Sessions parse_reader(const std::string& text) {
    Sessions s;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream w(line);
        std::string n, proto, a, arrow, b, tag, id;
        if (!(w >> n >> proto >> a >> arrow >> b >> tag >> id) || (proto != "TCP" && proto != "UDP") ||
            (arrow != "<->" && arrow != "->") || tag != "[proto:")
            continue;
        std::string name = id.substr(id.find('/') + 1);
        name = name.substr(0, name.find(']'));
        s[session_key(proto == "TCP" ? "tcp" : "udp", a, b)] = name.substr(name.rfind('.') + 1);
    }
    return s;
}

}  // namespace

TEST(DPITraffic, RealSessionsDetectedAsNdpiReaderDoes) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: builds network namespaces";
    for (const char* tool : {"nginx", "dnsmasq", "/usr/sbin/sshd", "ssh", "ssh-keygen", "openssl", "curl", "tcpdump",
                             "ndpiReader", "socat", "python3"})
        if (sh(std::string("command -v ") + tool + " >/dev/null") != 0)
            GTEST_SKIP() << "needs " << tool << " (scripts/install-deps.sh installs it)";
    std::string router = build_dir() + "/bin/quilo-router";
    ASSERT_EQ(access(router.c_str(), X_OK), 0) << router;

    Lab lab;
    std::string out;
    ASSERT_TRUE(lab.setup(&out)) << out;
    const std::string d = lab.dir();

    lab.spawn(true, "nginx -e " + d + "/nginx.err -p " + d + " -c " + d + "/nginx.conf", "nginx.log");
    lab.spawn(true,
              "dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces "
              "--listen-address=" + std::string(SERVER) + " --port=53 --address=/quilo.test/" + SERVER +
                  " --user=root --pid-file=",
              "dnsmasq.log");
    lab.spawn(true, "/usr/sbin/sshd -D -e -f " + d + "/sshd_config", "sshd.log");
    lab.spawn(true, "socat -u UDP-RECV:40000 /dev/null", "udp.log");
    for (const char* port : {":80 ", ":443 ", ":22 ", ":53 ", ":40000 "})
        ASSERT_TRUE(lab.wait_for(lab.in(true) + "ss -ltnuH", port)) << "no server on " << port;

    lab.spawn(false, "tcpdump -Z root -i " + std::string("qdpi") + std::to_string(getpid()) + "c -U -s 0 -w " + d +
                         "/cap.pcap",
              "tcpdump.log");
    pid_t tcpdump = lab.last();
    ASSERT_TRUE(lab.wait_for("cat " + d + "/tcpdump.log", "listening on"));

    const std::string c = lab.in(false);
    EXPECT_EQ(sh(c + "curl -sf --max-time 10 -o /dev/null http://" + std::string(SERVER) + "/file", &out), 0) << out;
    EXPECT_EQ(sh(c + "curl -sfk --max-time 10 -o /dev/null --resolve www.quilo.test:443:" + SERVER +
                     " https://www.quilo.test/file", &out), 0)
        << out;
    EXPECT_EQ(sh(c + "python3 -c 'import socket\n"
                     "q=bytes([0x12,0x34,1,0,0,1,0,0,0,0,0,0])+b\"\\x03www\\x05quilo\\x04test\\x00\\x00\\x01\\x00\\x01\"\n"
                     "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.settimeout(5)\n"
                     "s.sendto(q,(\"" + SERVER + "\",53)); assert len(s.recv(512)) > 12'", &out), 0)
        << out;
    EXPECT_EQ(sh(c + "ssh -i " + d + "/client_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null " +
                     "-o BatchMode=yes -o ConnectTimeout=10 -o KexAlgorithms=curve25519-sha256 root@" + SERVER + " true",
                 &out), 0)
        << out;
    auto captured = [&] {
        struct stat st;
        return stat((d + "/cap.pcap").c_str(), &st) == 0 ? size_t(st.st_size) : size_t(0);
    };
    size_t before_bulk = captured();
    EXPECT_EQ(sh(c + "socat -b 1200 -u FILE:" + d + "/blob UDP-SENDTO:" + SERVER + ":40000,sourceport=41000", &out), 0)
        << out;
    // tcpdump writes every packet as it takes it (-U): stop it once the
    // bulk flow is in and the capture has stopped growing, so that a busy
    // machine loses nothing.
    for (int i = 0, still = 0; i < 100 && (still < 3 || captured() < before_bulk + 200000); ++i) {
        size_t a = captured();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        still = captured() == a ? still + 1 : 0;
    }
    Lab::stop(tcpdump, SIGINT);

    // The client's packets enter the session manager from the local side
    // (input 0), the server's from the wide-area side (input 1).
    std::string conf = "require(package \"quilo\"); WConf(MAX_PEERS 1, LOG_LEVEL 4);"
                       "sm :: SessionManager; dpi :: WDPI(NOTIFIER sm, LOCAL_IP 10.88.0.254);"
                       "FromDump(FILENAME " + d + "/cap.pcap, STOP true) -> eth :: Classifier(12/0800, -)"
                       " -> side :: IPClassifier(src host " + CLIENT + ", -);"
                       "eth[1] -> Discard; side[0] -> [0]sm[0] -> [0]dpi[0] -> Discard;"
                       "side[1] -> [1]sm[1] -> [1]dpi[1] -> Discard;";
    std::string ours_text;
    ASSERT_EQ(sh(router + " -e '" + conf + "' -h dpi.flows", &ours_text), 0) << ours_text;
    std::string reader_text;
    ASSERT_EQ(sh("ndpiReader -q -i " + d + "/cap.pcap -v 2", &reader_text), 0) << reader_text;

    std::map<std::string, std::string> hosts;
    Sessions ours = parse_ours(ours_text, &hosts);
    Sessions reader = parse_reader(reader_text);
    auto app_on = [&](const std::string& proto, const std::string& port) -> std::pair<std::string, std::string> {
        std::string ep = std::string(SERVER) + ":" + port;
        for (auto& [k, v] : ours) {
            std::istringstream is(k);
            std::string p, x, y;
            is >> p >> x >> y;
            if (p == proto && (x == ep || y == ep))
                return {k, v};
        }
        return {"", "<none>"};
    };
    EXPECT_EQ(app_on("tcp", "80").second, "HTTP") << ours_text;
    auto tls = app_on("tcp", "443");
    EXPECT_EQ(tls.second, "TLS") << ours_text;
    EXPECT_EQ(hosts[tls.first], "www.quilo.test") << ours_text;
    EXPECT_EQ(app_on("udp", "53").second, "DNS") << ours_text;
    EXPECT_EQ(app_on("tcp", "22").second, "SSH") << ours_text;
    // Nothing names the bulk flow: 1000 + its smaller port.
    EXPECT_EQ(app_on("udp", "40000").second, "41000") << ours_text;

    // Every session has the application protocol ndpiReader gives it, but
    // the bulk flow, which ndpiReader leaves Unknown where WDPI falls back
    // to the port.
    ASSERT_FALSE(reader.empty()) << reader_text;
    for (auto& [k, app] : ours) {
        auto it = reader.find(k);
        ASSERT_NE(it, reader.end()) << k << " not seen by ndpiReader:\n" << reader_text;
        if (app == "41000")
            EXPECT_EQ(it->second, "Unknown") << k;
        else
            EXPECT_EQ(app, it->second) << k;
    }
    EXPECT_EQ(ours.size(), reader.size()) << ours_text << reader_text;
}
