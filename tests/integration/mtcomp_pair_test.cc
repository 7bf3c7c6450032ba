// The appliance pair with the multi-threaded compressor (COMP=mtcomp):
// zstd on two worker threads of each appliance, the peer's WMTDeComp
// decoding each worker's stream; files cross both ways unchanged.
#include <gtest/gtest.h>

#include <unistd.h>

#include "pairrig.hh"

using namespace pairtest;

namespace {

std::string sha256(const std::string& path) {
    std::string out;
    run("sha256sum < '" + path + "'", &out);
    return out.substr(0, 64);
}

}  // namespace

TEST(PairMultiThreadedCompressor, TransfersIntactThroughWorkerStreams) {
    SKIP_UNLESS_PAIR_POSSIBLE();
    TempDir tmp;
    write_text_file(tmp.file("text"), 3 << 20);
    // The upload carries other text: the same file would come back mostly as
    // byte-cache references to what the download stored, and how much of it
    // depends on timing, so the compressor would have little left to do.
    ASSERT_EQ(run("tr a-zA-Z n-za-mN-ZA-M < '" + tmp.file("text") + "' > '" + tmp.file("text2") + "'"), 0);
    PairOptions o;
    o.defines = {"COMP=mtcomp", "MTCOMP_THREADS=2"};
    o.threads = 3;
    o.loss = "0.005";
    PairRig r(o);
    ASSERT_TRUE(r.up()) << r.error();
    ASSERT_TRUE(r.carried_download(tmp.file("text"), tmp.file("down"), 7300));
    ASSERT_TRUE(r.carried_upload(tmp.file("text2"), tmp.file("up"), 7301));
    EXPECT_EQ(sha256(tmp.file("down")), sha256(tmp.file("text")));
    EXPECT_EQ(sha256(tmp.file("up")), sha256(tmp.file("text2")));
    for (const char* a : {"a", "b"}) {
        // Both workers compressed, nothing waited in vain or got lost.
        EXPECT_GT(r.count(a, "peer1/mtcomp.compressed"), 500u) << a;
        EXPECT_EQ(r.count(a, "peer1/comp.compressed"), 0u) << a;
        std::string state = r.read(a, "peer1/mtcomp.state");
        for (const char* w : {"Comp task: 0 ", "Comp task: 1 "})
            EXPECT_NE(state.find(w), std::string::npos) << a << state;
        EXPECT_EQ(r.count(a, "peer1/mtcomp.errors") + r.count(a, "peer1/mtcomp.holes") + r.count(a, "peer1/mtq.drops"), 0u) << a;
        EXPECT_EQ(r.count(a, "peer1/dec.errors") + r.count(a, "peer1/dec.invalid"), 0u) << a;
    }
}
