// A private network namespace for one test: created on construction (the
// calling thread and the commands it runs enter it), left and deleted on
// destruction.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class TestNetns {
  public:
    explicit TestNetns(const std::string& tag) {
        name_ = "quilo-" + tag + "-" + std::to_string(getpid());
        old_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
        if (std::system(("ip netns add " + name_).c_str()) != 0) return;
        int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        ok_ = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        // No IPv6: its neighbour and listener messages would mingle with
        // the frames the tests count.
        if (ok_)
            run("ip link set lo up && sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    }
    ~TestNetns() {
        if (old_ >= 0) {
            setns(old_, CLONE_NEWNET);
            close(old_);
        }
        std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
    }
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    // Runs a shell command inside the namespace; true on exit status 0.
    static bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
    // A veth pair with offloads off (frames stay within the MTU, checksums complete).
    static bool veth(const std::string& a, const std::string& b) {
        return run("ip link add " + a + " type veth peer name " + b) && run("ip link set " + a + " up") &&
               run("ip link set " + b + " up") && run("ethtool -K " + a + " tso off gso off gro off tx off rx off") &&
               run("ethtool -K " + b + " tso off gso off gro off tx off rx off");
    }

  private:
    std::string name_;
    int old_ = -1;
    bool ok_ = false;
};

#define SKIP_UNLESS_ROOT()                                                                  \
    do {                                                                                    \
        if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and veth";  \
    } while (0)
