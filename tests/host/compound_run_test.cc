// Compound elements in a running router: handlers by path through the
// control socket, names seen from inside a compound, hot swap by flattened
// names, tickets given to a whole compound.
#include <host/controlsocket.hh>
#include <host/errorhandler.hh>
#include <host/handlercall.hh>
#include <host/router.hh>
#include <host/routerthread.hh>

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

namespace {

const std::string peer_class =
    "elementclass Peer { $limit, STOP $stop |\n"
    "  src :: InfiniteSource(LIMIT $limit, STOP $stop) -> c :: Counter -> q :: Queue(100) -> output;\n"
    "  ScheduleInfo(src 2) }\n";

Router* run(Master& m, const std::string& text, Router* old = nullptr) {
    StringErrorHandler errh;
    Router* r = Router::create(text, "run.click", {}, &errh, &m, old);
    EXPECT_TRUE(r && r->initialize(&errh) == 0) << errh.text();
    if (!r)
        return nullptr;
    if (old)
        m.hotswap(r, &errh);   // takes the old elements' state; runs nothing
    else
        m.run(r);
    return r;
}

}  // namespace

TEST(CompoundRun, HandlersByPathTicketsAndHotSwap) {
    Master m(1);
    Router* r1 = run(m, peer_class + "peer1 :: Peer(10, STOP false) -> Idle; peer2 :: Peer(30, STOP true) -> Idle; ScheduleInfo(peer2 1.5)");
    ASSERT_TRUE(r1);
    // A Unix control socket takes writes (the WRITE below); TCP ones would not.
    ControlSocketServer cs(&m);
    StringErrorHandler errh;
    std::string sock = "/tmp/quilo-compound-run-" + std::to_string(getpid()) + ".sock";
    ASSERT_EQ(cs.listen_unix(sock, &errh), 0) << errh.text();
    EXPECT_EQ(cs.process("READ peer2/c.count\n"), "200 Read handler 'peer2/c.count' OK\r\nDATA 3\r\n30\n");
    EXPECT_EQ(cs.process("READ peer1/q.length\n"), "200 Read handler 'peer1/q.length' OK\r\nDATA 3\r\n10\n");
    EXPECT_EQ(cs.process("READ peer1/src.tickets\n"), "200 Read handler 'peer1/src.tickets' OK\r\nDATA 4\r\n2048");
    EXPECT_EQ(cs.process("READ peer2/src.tickets\n"), "200 Read handler 'peer2/src.tickets' OK\r\nDATA 4\r\n3072");
    EXPECT_EQ(cs.process("WRITE peer2/src.tickets 99999\n").substr(0, 4), "520-");
    EXPECT_EQ(cs.process("READ peer3/c.count\n"), "510 No element named 'peer3/c'\r\n");
    EXPECT_EQ(cs.process("LLRPC peer1/q 1\n"), "501 Unimplemented command 'LLRPC'\r\n");   // no LLRPC here
    std::string flat = HandlerCall::call_read(r1, "flatconfig");
    EXPECT_NE(flat.find("peer2/q :: Queue(100);\npeer2/ScheduleInfo@"), std::string::npos) << flat;
    EXPECT_NE(flat.find("peer2/q [0] -> [0] Idle@4;"), std::string::npos) << flat;
    // From inside peer1, "c" is peer1's counter; from outside, no such element.
    EXPECT_EQ(HandlerCall::call_read("c.count", r1->find("peer1/q")), "10\n");
    EXPECT_EQ(r1->find("c", r1->find("peer1/q")), r1->find("peer1/c"));
    EXPECT_EQ(r1->find("c"), nullptr);

    // The new router keeps peer1 and renames the old peer2 to peer3: peer1's
    // queue keeps its packets, peer3's starts empty.
    Router* r2 = run(m, peer_class + "peer1 :: Peer(10, STOP false) -> Idle; peer3 :: Peer(30, STOP false) -> Idle;", r1);
    ASSERT_TRUE(r2);
    EXPECT_EQ(m.router(), r2);
    EXPECT_EQ(cs.process("READ peer1/q.length\n"), "200 Read handler 'peer1/q.length' OK\r\nDATA 3\r\n10\n");
    EXPECT_EQ(cs.process("READ peer3/q.length\n"), "200 Read handler 'peer3/q.length' OK\r\nDATA 2\r\n0\n");
    delete r2;   // r1 goes with the master
}

TEST(CompoundRun, ScheduleInfoAndStaticThreadSchedErrors) {
    Master m(2);
    StringErrorHandler errh;
    Router* r = Router::create("elementclass P { input -> c :: Counter -> output; StaticThreadSched(nosuch 1) }\n"
                               "Idle -> p :: P -> Discard; ScheduleInfo(p 2, nope 1, p 99)",
                               "t.click", {}, &errh, &m);
    if (r && r->initialize(&errh) == 0)
        ADD_FAILURE() << "initialized";
    delete r;
    EXPECT_NE(errh.text().find("'nosuch' does not name an element"), std::string::npos) << errh.text();
    EXPECT_NE(errh.text().find("'nope' does not name an element"), std::string::npos) << errh.text();
    EXPECT_NE(errh.text().find("PARAM '99' out of range"), std::string::npos) << errh.text();
}
