// WAN emulator: bridges two interfaces through an emulated wide-area link
// with its own delay, bandwidth, loss and reordering in each direction.
//
//   quilo-router conf/wan-emulator.click DEV_A=eth1 DEV_B=eth2 DELAY_AB=20ms LOSS_AB=0.01
//
// Interfaces should have segmentation and checksum offloads off
// (ethtool -K DEV tso off gso off gro off tx off rx off) so that frames
// stay within the MTU. Handlers report what the link did:
//   loss_ab.drops, reorder_ab.reordered, link_ab.count (delayed and
//   delivered), bytes_ab.count and bytes_ab.byte_count (whole frames
//   delivered), q_ab.drops (queue overflow), and the same for _ba.

define($DEV_A veth-a, $DEV_B veth-b,
       $DELAY_AB 20ms, $DELAY_BA 20ms,
       $BW_AB 1Gbps, $BW_BA 1Gbps,
       $LOSS_AB 0, $LOSS_BA 0,
       $REORDER_AB 0, $REORDER_BA 0,
       $QUEUE 10000);

// A -> B
in_a :: FromDevice($DEV_A, PROMISC true)
  -> loss_ab :: RandomSample(DROP $LOSS_AB)
  -> reorder_ab :: RandomReorder(PROB $REORDER_AB, DEPTH 3)
  -> q_ab :: Queue($QUEUE)
  -> link_ab :: LinkUnqueue($DELAY_AB, $BW_AB)
  -> bytes_ab :: Counter
  -> out_ab :: Queue($QUEUE)
  -> ToDevice($DEV_B);

// B -> A
in_b :: FromDevice($DEV_B, PROMISC true)
  -> loss_ba :: RandomSample(DROP $LOSS_BA)
  -> reorder_ba :: RandomReorder(PROB $REORDER_BA, DEPTH 3)
  -> q_ba :: Queue($QUEUE)
  -> link_ba :: LinkUnqueue($DELAY_BA, $BW_BA)
  -> bytes_ba :: Counter
  -> out_ba :: Queue($QUEUE)
  -> ToDevice($DEV_A);
