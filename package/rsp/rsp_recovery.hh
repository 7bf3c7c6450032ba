// Loss detection for RSP's fast retransmission, from what the peer has
// acknowledged rather than from counting duplicate acknowledgements.
//
// A packet is taken for lost when the peer acknowledged (cumulatively or in
// an EACK range) a packet that was sent at least one reordering window after
// it, or one sent no earlier than it when a round trip plus the window has
// passed since it was sent. The rule applies to retransmissions
// too, so a lost retransmission is sent again about one round trip later
// instead of waiting for the retransmit timer and its back-off.
//
// The window (a quarter of the shortest round trip, at least 2 ms) keeps
// reordering on the path from causing retransmissions, and leaves time for
// a parity packet that follows a group (WFEC) to rebuild the packet at the
// peer before it is sent again.
#pragma once

#include <cstdint>

namespace rsp {

class LossDetector {
  public:
    // A packet sent at `tx` (jiffies) was acknowledged.
    void acked(uint32_t tx) {
        if (!have_ || int32_t(tx - latest_tx_) > 0) {
            latest_tx_ = tx;
            have_ = true;
        }
    }

    static uint32_t window(int32_t min_rtt_ms) {
        int32_t w = min_rtt_ms / 4;
        return w < 2 ? 2u : uint32_t(w);
    }

    // Whether a packet sent at `tx`, below the highest sequence number the
    // peer acknowledged, is lost at `now`. Only acknowledgements of packets
    // sent after it count (first transmissions leave in sequence order, so
    // for them the same millisecond counts too): a retransmission is not
    // given up for lost while the peer has acknowledged only what was sent
    // before it.
    bool lost(uint32_t tx, uint32_t now, uint32_t wnd, int32_t rtt_ms, bool retransmitted) const {
        if (!have_)
            return false;
        int32_t after = int32_t(latest_tx_ - tx);
        if (after >= int32_t(wnd))
            return true;
        if (after < 0 || (after == 0 && retransmitted))
            return false;
        int64_t wait = int64_t(rtt_ms > 0 ? rtt_ms : 0) + int64_t(wnd);
        return int64_t(int32_t(now - tx)) >= wait;
    }

  private:
    uint32_t latest_tx_ = 0;
    bool have_ = false;
};

}  // namespace rsp
