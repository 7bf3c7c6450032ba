// appliance.click: the reference WAN-optimisation appliance.
//
// A transparent bump in the wire between a local network (LAN_DEV) and the
// wide-area link (WAN_DEV). Every frame that is not optimised crosses
// unchanged, so the appliance can be put into a live link. TCP sessions that
// a peer appliance also sees (both put their probe on the handshake) are
// deduplicated against a byte cache on disk, compressed, carried by RSP to
// the peer and restored there with their original Ethernet header.
//
//   quilo-router -u /run/quilo.sock conf/appliance.click \
//       LAN_DEV=eth1 WAN_DEV=eth2 LOCAL_IP=192.0.2.11 MAC=00:11:22:33:44:55 \
//       PEERS_FILE=/etc/quilo/peers RSP_MODE=client
//
// Before starting: both interfaces up, without IP addresses of their own,
// and with offloads off so that frames stay within the MTU:
//   ethtool -K eth1 tso off gso off gro off tx off rx off   (same for eth2)
//
// Settings (NAME=value on the command line):
//   LAN_DEV, WAN_DEV  interfaces towards the local network and the WAN
//   LOCAL_IP          this appliance's tunnel address: source of RSP and
//                     peer-information packets, answered by ARP on WAN_DEV;
//                     also the probe key that peers know this appliance by
//   MAC               this appliance's Ethernet address on WAN_DEV
//   PEERS_FILE        peers file: one "PEER_IP, PORT, HOSTNAME, MAC" line per
//                     peer; peers found by probes are added to it
//   DS_DIR            byte-cache datastore directory (one file per peer)
//   DS_SIZE           datastore size in megabytes; the in-memory index
//                     takes about 50 to 100 KB per megabyte
//   DEDUP_LEVEL       byte-cache encoding level: 4 looks up every position,
//                     lower levels fewer positions on unmatched data; 0 off
//   HOSTNAME          name announced to peers
//   RSP_MODE          client (opens the tunnel) or server (listens); the
//                     ends swap roles by themselves when needed, but a pair
//                     connects fastest with one of each
//   COMPRESSOR        compressor engine: 0 none, 1 deprecated (becomes 4),
//                     2 LZ4, 3 LZ4 high-compression, 4 zstd, 5 zlib
//   METHOD            streaming (a compression context per tunnel: best
//                     ratio, relies on RSP's ordered delivery) or stateless
//   LEVEL             compression level; 0 switches compression off
//   ADAPTIVE          true: the level follows the bottleneck, up while the
//                     WAN is the limit, down while the compressing threads
//                     are saturated, to no compression at all when even
//                     the cheapest level is too costly (zstd and zlib only)
//   COMP              the compressor of every peer branch: comp (WComp,
//                     compresses on the thread the packet arrives on) or
//                     mtcomp (WMTComp behind the Queue mtq: compresses on
//                     MTCOMP_THREADS worker threads, zstd or zlib only; run
//                     quilo-router with -j MTCOMP_THREADS, one thread per
//                     core: the last worker shares the home thread)
//   COMP1 .. COMP8    the compressor of one branch (default COMP)
//   MTCOMP_COMPRESSOR, MTCOMP_LEVEL, MTCOMP_THREADS
//                     engine (4 zstd, 5 zlib), level and worker threads of
//                     mtcomp
//   MTCOMP_QUEUE      packets the Queue in front of mtcomp holds (see
//                     below)
//   MSS               largest TCP segment announced on handshakes (see WConf)
//   DELAYED_ACK_MS    RSP's delayed acknowledgement
//   POLL_SECS         how often an RSP end that is only listening turns to
//                     opening the tunnel itself
//   RSP_WINDOW        packets RSP keeps in flight before it calls the
//                     window full
//   MAX_PEERS         peer output ports (1 to 8): the peers this appliance
//                     serves at once; this file has a branch for each of
//                     ports 1 to 8 (see "Peer branches")
//   BYPASS_HOLD       seconds without traffic from the peer before new
//                     sessions bypass the appliance
//   LOG_LEVEL         0 Debug .. 4 Error
//   PIPELINE          1 runs each peer branch as a two-stage pipeline on two
//                     router threads (start with -j 2): the byte cache on
//                     the thread that receives from the LAN, compression,
//                     RSP's transmit side and sending to the WAN on the
//                     second; a queue between them keeps the packets in
//                     order. 0 (default) keeps everything on one thread
//   FEC               1: an XOR parity packet follows every FEC_GROUP
//                     packets of RSP's stream, so that one loss in a group
//                     is rebuilt by the peer without a retransmission; 0 off
//   FEC_GROUP         stream packets per parity packet while RSP has no
//                     backlog (the sender is application-limited)
//   FEC_BULK_GROUP    stream packets per parity packet while RSP's pacer
//                     holds at least as many (the WAN is the bottleneck);
//                     0: always FEC_GROUP
//   FEC_ADAPTIVE      true: FEC_BULK_GROUP is the longest bulk group, and
//                     the bulk group follows the loss RSP meets (WFEC's
//                     bulk_size and loss handlers); false: always
//                     FEC_BULK_GROUP
//   FEC_FLUSH_MS      a group that got no packet for this long, with
//                     nothing held by RSP's pacer, is closed with the parity
//                     of what it has; 0: parity only for whole groups.
//                     FEC_BULK_GROUP or FEC_FLUSH_MS: the peer must run an
//                     appliance that finds variable groups
//   STACKER           1: small tunnel packets are stacked into one WAN
//                     packet of up to 1500 bytes; 0 off
//   STACK_WAIT_MS     longest time a small packet waits to be stacked
//   CONGESTION_CONTROL
//                     RSP paces what it sends and holds what the WAN cannot
//                     take yet (true/false)
//   CONGESTION_TARGET_MS
//                     queueing delay RSP's window aims at in the WAN's
//                     bottleneck queue
//   QM                queue management in front of the tunnel (WCCC): true
//                     or false
//   QM_RTT_DELTA      WCCC's target: the path's minimum RTT times this
//   QM_INTERVAL       WCCC's interval (CoDel's)
//   QM_DATA_ONLY      drop only TCP segments that carry data, never
//                     acknowledgements, SYN/FIN/RST or other protocols
//   WCONF_EXTRA, FT_EXTRA
//                     more WConf / FlowTable arguments, each starting with a
//                     comma, e.g. FT_EXTRA=", UDP_ROUTE 10.1.0.0/16 192.0.2.12"
//
// Reference settings, chosen for a real WAN of a few to a few hundred
// Mbit/s with tens of milliseconds of delay:
//  - Byte cache on, 4000 MB per peer (about 300 MB of index in memory,
//    taken only for a peer port that has had a peer):
//    what crossed the WAN once is sent again as references. DEDUP_LEVEL 2
//    looks up every other position on data the cache has not seen, which
//    keeps the cache out of the way on new data, and still finds repeated
//    data at any alignment.
//  - Compression on (LEVEL 1 with LZ4 is cheap enough for line rate on one
//    core and still removes most redundancy of text and protocol headers;
//    raise LEVEL or pick zstd for thin links).
//  - Streaming compression: RSP delivers in order, so each tunnel keeps one
//    compression context and small packets compress against earlier ones.
//  - DELAYED_ACK_MS 10: one acknowledgement covers several data packets, which
//    halves the tunnel's reverse traffic on bulk transfers, while staying far
//    below the retransmit delay (twice the round trip).
//  - POLL_SECS 10: an end whose peer went away falls back to listening;
//    when the peer comes back listening too, one of them must turn to
//    opening the tunnel. Polling every 10 s (rather than every 5 minutes)
//    brings a restarted peer back within seconds.
//  - RSP_WINDOW 8000: a fast LAN feeding a slow WAN with small
//    deduplicated packets puts thousands of packets in flight. A full
//    window switches the compressor to stateless packets, which RSP does
//    not carry reliably; a lost byte-cache packet then leaves the two
//    datastores out of step, and every later reference to its chunks costs
//    a resynchronisation. 8000 packets of at most 1500 bytes stay within
//    12 MB per peer.
//  - FEC 0 (when on: FEC_GROUP 5, FEC_BULK_GROUP 24, FEC_ADAPTIVE true,
//    FEC_FLUSH_MS 5): RSP delivers in order, so every lost tunnel packet
//    holds the whole stream for at least one and a half round trips until its
//    retransmission arrives. A parity packet after a group of stream packets
//    lets the peer rebuild a single loss in the group at once. Measured on a
//    20 Mbit/s, 20 ms link with 5% loss each way (bench/pair/loss_bench.sh,
//    44 MB of files, cold / warm pass): plain TCP without the appliances
//    22.7 / 21.1 s, the pair without parity 26.7 / 25.2 s, with parity
//    (groups of 5) 10.4 / 4.7 s; at 1% loss 20.5 / 20.9 s, 18.0 / 10.0 s and
//    11.7 / 5.7 s. Groups of 5 cost one packet in 6, which a bandwidth-bound
//    transfer pays in time: a 20 MB random transfer at 1% loss took 1.15
//    times as long as without parity. FEC_BULK_GROUP 24 lets the group follow
//    RSP's backlog: from a group start that finds a short group's worth of
//    packets held by RSP's pacer until the stream pauses, the WAN is the
//    bottleneck and groups are of 24 (4% more bytes; a loss is rebuilt when
//    it is the only one of the 25 packets, 78% of the time at 1%, but only
//    29% at 5%); otherwise the WAN has room and groups are of 5. At 5% loss
//    that costs more than it saves: the cold pass of the 44 MB corpus took
//    17.3 s with bulk groups of 24 against 10.6 s with groups of 5 throughout
//    (loss_bench, same hour; in a quieter hour 9.8 against 12.5 s: runs vary
//    widely, but groups of 24 were resent twice as often). So FEC_ADAPTIVE
//    lets the bulk group follow the loss: the largest, up to FEC_BULK_GROUP,
//    that rebuilds a lost packet at least 3 times in 4 ((1 - loss)^g >= 0.75:
//    28 at 1% loss, 5 at 5%), the loss estimated from the share of packets
//    RSP resends despite the parity. RSP resends a little more than the link
//    loses at 1% (a loss early in a long group is resent before the parity
//    rebuilds it, see below): the estimate reads 1.3 to 1.4% and bulk groups
//    are of 19 to 21; at 5% it reads 4.7%, groups of 6. Measured (20 MB
//    transfer, with parity against without, same run): at 1% loss 0.99 to
//    1.02 times as long, 0.30 to 0.32 of the retransmissions, 5 to 6% more
//    bytes (fixed bulk groups of 24: 1.00, 0.42 to 0.55, 4 to 5%; groups of
//    5: 1.15, 0.07, 19%); at 5% 1.03 times as long, 0.30 of the
//    retransmissions, 16% more bytes (groups of 24: 0.88, 0.93, 5%). The
//    44 MB corpus, cold / warm pass: at 1% loss 7.8 / 3.3 s, at 5%
//    9.1 / 5.5 s, against 19.1 / 18.9 s and 19.4 / 21.9 s through plain
//    bridges (same run); with groups of 5: 8.6 / 2.9 s and
//    12.5 / 4.3 s, with fixed bulk groups of 24: 8.2 / 3.5 s and 9.8 / 6.4 s
//    (the same half hour). Longer bulk groups save little and cost
//    retransmissions: a loss early in a group is rebuilt only after the
//    group's last packet, and RSP resends a packet once the peer acknowledged
//    one sent a quarter of the minimum round trip after it (10 ms here, 16
//    packets at 20 Mbit/s), so the early part of a long group is resent
//    anyway. Measured at 1% loss (the 20 MB transfer, the pair with parity
//    against without, same run): groups of 24 took 0.99 and 1.01 times as
//    long with a third of the retransmissions; groups of 32 took 0.93 to 1.02
//    times as long with 0.45 to 0.52 of them; groups of 16 took 1.08 times as
//    long (6% more bytes) with a fifth. With parity the transfer keeps the
//    WAN nearly full (9.6 to 9.9 s); without it, RSP's recoveries leave gaps
//    that vary from run to run (9.5 to 10.5 s), which decides the comparison.
//    FEC_FLUSH_MS closes the group at the end of a burst, so that a short
//    response's last packets are protected too: 20 KB fetches at 1% loss took
//    61 to 65 ms at the 95th percentile and at most 90 to 150 ms, against 130
//    to 170 ms and 290 to 440 ms without parity.
//    Switch FEC on for links that lose a percent or more.
//  - STACKER 1, STACK_WAIT_MS 2: stacking saves a header and a queue slot
//    per small packet (voice, games, chatty protocols, and the byte cache's
//    references, which make most packets of data the WAN has seen before
//    about 140 bytes long). Measured on a 20 Mbit/s, 20 ms link with a WAN
//    queue of 250 packets (bench/pair/pair_bench.sh, 44 MB of files, median
//    of three warm passes, same half hour): 2.15 s and 4.04 MB on the WAN
//    with stacking, against 2.35 s and 4.39 MB without, when the WAN's queue
//    overflowed 28 to 80 times a pass (it never did with stacking). Every
//    small tunnel packet, TCP acknowledgements included, waits up to
//    STACK_WAIT_MS: 2 ms keeps that small beside the path's round trip;
//    for links that carry mostly sparse small datagrams (voice) a longer
//    wait fills the stacker packets better (10 flows of 50 datagrams a
//    second: 0.25 WAN packets per LAN packet with 50 ms). Only the tunnel's
//    stream packets are stacked: RSP's own acknowledgements and control
//    packets and the FEC packets go out at once, so RSP's round-trip
//    estimate is not inflated. With FEC on the stream is not stacked at
//    all: a lost stacker packet takes several packets of one parity group,
//    which the parity cannot rebuild (1% loss each way, the corpus's cold /
//    warm pass: 9.4 / 3.5 s and 383 / 263 retransmissions with stacking,
//    7.6 / 3.2 s and 88 / 91 without; at 5% 11.2 / 4.5 s against
//    9.7 / 4.3 s). The receiving end always unpacks. Unpacked packets get
//    their Ethernet header from their session, which the receiving
//    appliance learns only from packets that cross whole: the first two
//    packets of each conversation in each direction are never stacked
//    (WHOLE_FIRST 2), or a new UDP flow whose packets all went stacked
//    would never reach the far LAN.
//  - The multi-threaded compressor (COMP=mtcomp) for links faster than
//    one core compresses with zstd or zlib: each worker keeps a stream of
//    its own and the peer decodes each with a decoder of its own
//    (peerN/dec :: WMTDeComp, 15 decoders). Its Queue (peerN/mtq) is where
//    packets wait while every worker is busy. Dedup has already put the
//    packets into the byte cache, so a drop there leaves the two datastores
//    out of step (peerN/mtq.drops counts them): the Queue is as deep as RSP's window
//    (MTCOMP_QUEUE = RSP_WINDOW). The TCP senders behind it cannot have
//    more packets outstanding than their windows, and their
//    acknowledgements return only once packets have passed the compressor,
//    so the Queue holds what the workers are behind by and stays far from
//    full while the workers keep up on average.
//  - QM true, CONGESTION_CONTROL true: on an ordinary WAN queue (1000
//    packets, Linux's usual txqueuelen; 250) RSP used to fill the WAN's
//    queue, since it hides every loss from the end hosts, and its
//    retransmissions cost the warm pass half its speed. RSP now paces and
//    holds to a window aimed at CONGESTION_TARGET_MS 5 of queue, and qm
//    (WCCC) tells the end hosts to slow down from the round trip RSP
//    reports. WCCC rather than WRED or WLLRED: a retransmission share is
//    what random loss also shows, and random loss is not congestion.
//    QM_RTT_DELTA 2 (a target of twice the path's minimum round trip)
//    lets the delayed acknowledgement and scheduling jitter pass;
//    QM_INTERVAL 200ms (twice CoDel's usual 100 ms): a warm pass, whose
//    packets are mostly byte-cache references, lets the end host's TCP run
//    at eight times the WAN's rate, and its slow start overshoots by a few
//    round trips; with 100 ms qm dropped 4 to 6 of its packets per pass and
//    the end host never regained its rate (warm pass 2.3 to 3.1 s on
//    20 Mbit/s, 20 ms, 1000 packets of queue; bridges 18.8 s); with 200 ms
//    it dropped 0 to 2 and the pass took 2.1 to 2.4 s (8.4 times the
//    bridges, against 7.9 with queue management off), while the ping under
//    a bulk download and two downloads' shares stayed where they were
//    (+5.2 ms, 48/52): a queue that stands longer is still dropped from;
//    QM_DATA_ONLY true: dropping a client's acknowledgements relieves
//    nothing. Measured with bench/pair/pair_bench.sh (20 Mbit/s, 20 ms
//    each way, on a 2-core machine at a load of 30 to 39): ping p95 under
//    a bulk download 19 ms (1000-packet queue) and 22 ms (250) above idle
//    through the pair, against 108 and 547 ms through plain bridges; two
//    downloads at once shared 55/45 and 58/42; RSP resent at most 1.2% of
//    its packets; with 1% random loss and no congestion the pair kept its
//    goodput (on / off 1.16), with 5% it lost a quarter (0.77: the window,
//    not qm, which hardly dropped). On a quieter machine (load 0.4 to
//    1.4), with QM_INTERVAL 200ms, all in one run: warm pass 8.8 (1000)
//    and 7.1 (250) times the bridges (median of three; the 250-packet
//    queue overflowed on the warm passes' small packets: 31 to 75
//    retransmissions and 1 to 4 window reductions per pass), cold 2.6 and
//    2.7, ping p95 +5.9 and +5.2 ms, shares 47/53 and 48/52; with random
//    loss and no rate limit, on / off 0.91 (1%) and 1.25 (5%), medians of
//    five downloads each taken in turns, whose spread (1%: 2.2 to 4.4 s
//    on, 2.1 to 2.9 s off) is wider than the difference.
//  - MSS 1332: with TCP timestamps (12 bytes of options) a full segment
//    carries 1320 bytes = 4 chunks of 330 bytes, the byte cache's chunk
//    size, so repeated data lines up with the cache; and the tunnel's shim
//    and RSP header (12 bytes) still fit a 1500-byte MTU.

define($LAN_DEV lan0, $WAN_DEV wan0,
       $LOCAL_IP 10.77.0.11, $MAC 02:77:00:00:0a:02,
       $PEERS_FILE /etc/quilo/peers, $DS_DIR /var/lib/quilo,
       $HOSTNAME quilo, $RSP_MODE client,
       $COMPRESSOR 2, $METHOD streaming, $LEVEL 1, $ADAPTIVE false,
       $COMP comp, $MTCOMP_COMPRESSOR 4, $MTCOMP_LEVEL 3, $MTCOMP_THREADS 2,
       $DS_SIZE 4000, $DEDUP_LEVEL 2,
       $MSS 1332, $DELAYED_ACK_MS 10, $MAX_PEERS 8,
       $BYPASS_HOLD 10, $POLL_SECS 10, $RSP_WINDOW 8000, $LOG_LEVEL 2,
       $FEC 0, $FEC_GROUP 5, $FEC_BULK_GROUP 24, $FEC_ADAPTIVE true, $FEC_FLUSH_MS 5,
       $STACKER 1, $STACK_WAIT_MS 2, $PIPELINE 0,
       $QM true, $QM_RTT_DELTA 2, $QM_INTERVAL 200ms, $QM_DATA_ONLY true,
       $CONGESTION_CONTROL true, $CONGESTION_TARGET_MS 5,
       $WCONF_EXTRA, $FT_EXTRA, $IPPROTO 108);
define($MTCOMP_QUEUE $RSP_WINDOW);
define($COMP1 $COMP, $COMP2 $COMP, $COMP3 $COMP, $COMP4 $COMP,
       $COMP5 $COMP, $COMP6 $COMP, $COMP7 $COMP, $COMP8 $COMP);

require(package "quilo");

// ---------------------------------------------------------------- shared state

WConf(MAX_PEERS $MAX_PEERS, MSS $MSS, IPPROTO $IPPROTO, HOSTNAME $HOSTNAME,
      LOG_LEVEL $LOG_LEVEL $WCONF_EXTRA);

// Sessions of both directions; input/output 0 carry traffic from the LAN,
// 1 traffic from the WAN.
sm :: SessionManager;
// Peers (from PEERS_FILE and probes) and which sessions they carry.
ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH $PEERS_FILE $FT_EXTRA);
// Switches the probes on once the byte caches are ready.
ph :: ProbeHandler;
// Puts the session's own Ethernet header back on packets from the peer.
l2in :: L2Mapper(NOTIFIER sm, DIRECTION WAN_IN, FORCE true);

// Frames leave through one queue per interface. Both router threads feed
// the WAN side when PIPELINE is on.
to_lan :: Queue(2000) -> lan_out :: ToDevice($LAN_DEV);
to_wan :: ThreadSafeQueue(2000) -> wan_out :: ToDevice($WAN_DEV);

// The tunnel's own packets (RSP control, peer information) are addressed to
// the peer appliance and need an Ethernet header found by ARP.
arpq :: ARPQuerier($LOCAL_IP, $MAC) -> to_wan;

// New sessions bypass the appliance while the peer is silent or the byte
// cache is not ready: bypass.bypass is "true" then (count0/count1 show
// frames processed/bypassed).
bypass :: BypassSwitch(BYPASS true);
bh :: BypassHandler(bypass.bypass, $BYPASS_HOLD);

// ------------------------------------------------------------ LAN -> WAN

lan_dev :: FromDevice($LAN_DEV, PROMISC true) -> lan_in :: Counter -> bypass;
bypass[1] -> to_wan;
bypass[0] -> lan_cl :: Classifier(12/0800, -);
lan_cl[1] -> to_wan;                               // ARP and the rest: bridged
lan_cl[0] -> lan_ip :: CheckIPHeader(14);
lan_ip[1] -> to_wan;                               // not IPv4: bridged as it is
lan_ip
  -> mss :: MSSAdjust                              // SYNs announce at most MSS
  -> [0]sm[0]
  -> out_l :: FlowLookup(WAN_OUT);

// Not carried by a peer: bridged, with this appliance's probe on SYNs.
out_l[0] -> lanprobe :: PeerProbe(1, 0, false, $LOCAL_IP, $MAC);
lanprobe[0] -> to_wan;
lanprobe[1] -> to_wan;

// ------------------------------------------------------------ WAN -> LAN

wan_dev :: FromDevice($WAN_DEV, PROMISC true) -> wan_in :: Counter
  -> wan_cl :: Classifier(12/0806 20/0001, 12/0806 20/0002, 12/0800, -);
wan_cl[0] -> arpr :: ARPResponder($LOCAL_IP $MAC);  // ARP requests for us
arpr[0] -> to_wan;
arpr[1] -> to_lan;                                  // the others: bridged
wan_cl[1] -> arp_t :: Tee(2);                       // ARP replies: learnt and bridged
arp_t[0] -> [1]arpq;
arp_t[1] -> to_lan;
wan_cl[3] -> to_lan;
wan_cl[2] -> wan_ip :: CheckIPHeader(14);
wan_ip[1] -> to_lan;
wan_ip
  -> [1]sm[1]
  -> wanprobe :: PeerProbe(0, 1, false, $LOCAL_IP, $MAC, true)  // learns peers from SYNs
  -> in_l :: FlowLookup(WAN_IN);
wanprobe[1] -> Discard;

// Not carried by a peer. Plain traffic is bridged; a tunnel packet here
// belongs to a session this appliance does not know (it restarted, or the
// session timed out): it goes back to its sender marked as reflected, and
// the sender takes the session off the tunnel.
in_l[0] -> tun_cl :: IPClassifier(ip proto $IPPROTO, -);
tun_cl[1] -> to_lan;
// Stacker packets carry no session of their own: never reflected.
tun_cl[0] -> nostack :: DropStacker -> reflect :: WShimReflect -> to_wan;

// ------------------------------------------------------------ Classification
//
// WDPI names the application protocol of every session the tunnel carries
// (nDPI, from the first packets of each session: at most 10), where the
// traffic is plain in both directions: input 0 before the byte cache on the
// way to the peer, input 1 once what came from the peer is restored. Both
// appliances of a pair so see both directions of a session. Read what it
// found with dpi.protocols (sessions per protocol) and dpi.flows (one line
// per session, with the TLS server name).
//
// Policy DPI_SKIP_CACHE=1: sessions detected as TLS (91) or QUIC (188)
// skip the byte cache, since encrypted data never repeats; they are still
// compressed and cross the tunnel. Their first packets, until detection
// ends, go through the cache like any other. Off (0) by default; it can
// also be switched while running: WRITE peer1/skip.switch 1. Detection itself
// runs either way (about 30 ns a packet once a session is detected).

define($DPI_SKIP_CACHE 0);
dpi :: WDPI(NOTIFIER sm, LOCAL_IP $LOCAL_IP);

// ------------------------------------------------------------ Peer branches
//
// Everything that serves one peer appliance is the compound class
// PeerBranch, instantiated once per peer output port: peer1 .. peer8. Its
// elements are named by the branch (peer2/rsp, peer2/dd, peer2/lan_tx);
// read their handlers so (READ peer2/rsp.state).
//
// To the peer: repeated payload becomes references into the byte cache
// (one datastore per peer, DS_DIR/peerN), the rest is compressed, then RSP
// numbers the packets and keeps them until acknowledged. Tunnel packets
// keep the session's addresses and Ethernet header; only the IP protocol
// changes.
//
// Counters give the peer's traffic in whole frames; quilo-stats reads them
// by name (lan_ or wan_, tx or rx, then the branch's number): lan_tx LAN
// frames sent to the peer, before the byte cache; wan_tx and wan_tx_own
// tunnel frames sent to it (the tunnel's own packets, counted before ARP
// adds their Ethernet header, in the second); wan_rx tunnel frames received
// from it; lan_rx LAN frames restored from them.
//
// Queue management (QM): RSP recovers every packet the WAN loses, so the
// end hosts' TCP never sees a loss and would keep the WAN's queue full.
// qm (WCCC) drops LAN packets once RSP's latest round trip has stayed
// above QM_RTT_DELTA times the path's minimum for QM_INTERVAL (CoDel's
// control law), which is what slows the end hosts. It sits ahead of the
// byte cache, so that a dropped packet never carries chunks the peer would
// not store; the cache's own sync packets (dd[1]) do not pass it. With
// CONGESTION_CONTROL, RSP paces what it sends and holds what the WAN cannot
// take yet, so the backlog builds up in RSP, where its wait shows in the
// round trip qm reads, rather than in the WAN's queue. Read peerN/qm.drops
// and peerN/rsp.congestion_state.
//
// A branch no peer has used costs little: the datastore and its index are
// made when the flow table first puts a peer on the branch's port (Dedup's
// NOTIFIER), RSP, WPeerInfo, WFEC and the Stacker wait idle for a peer,
// and the compressors hold only their contexts (a hub with eight branches
// and no peer takes about 13 MB of memory in all).
//
// Ports: input 0 LAN packets for the peer (from out_l), 1 tunnel packets
// from it (from in_l), 2 the LAN packets back from protocol detection;
// output 0 tunnel frames (to_wan), 1 the tunnel's own packets (arpq), 2
// restored LAN packets (l2in), 3 a copy of what arrives from the peer
// (bh: the peer is alive), 4 LAN packets to protocol detection (dpi).

elementclass PeerBranch { $port, $comp |
  wan_tx :: Counter -> [0]output;
  wan_tx_own :: Counter -> [1]output;
  lan_rx :: Counter -> [2]output;

  input[0] -> lan_tx :: Counter
    -> qm :: WCCC(RSP rsp, WCOMP $comp, RTT_DELTA $QM_RTT_DELTA, INTERVAL $QM_INTERVAL,
                  DATA_ONLY $QM_DATA_ONLY, ACTIVE $QM)
    -> [4]output;                                  // to dpi and back on input 2
  input[2] -> enc :: WDPISwitch(PROT 91 PORT 0, PROT 188 PORT 0)
    -> skip :: Switch($DPI_SKIP_CACHE);            // TLS, QUIC: see "Classification"
  enc[1]
    -> dd :: Dedup(0, $port, LEVEL $DEDUP_LEVEL, DS_SIZE $DS_SIZE, DS_DIR $DS_DIR,
                   NOTIFIER ft, PEER_OUTPUT_PORT $port)
    -> dd_tx :: Switch($PIPELINE)                  // PIPELINE 1: output 1, below
    -> csel :: Switch(0);                          // to the compressor RSP drives
  csel[0]
    -> comp :: WComp(COMPRESSOR $COMPRESSOR, METHOD $METHOD, LEVEL $LEVEL, ADAPTIVE $ADAPTIVE)
    -> [0]rsp :: RSP(MODE $RSP_MODE, LOCAL_IP $LOCAL_IP, WRTT pi, WCOMP $comp,
                     NOTIFIER ft, PEER_OUTPUT_PORT $port, DELAYED_ACK_MS $DELAYED_ACK_MS,
                     DUPLICATE_ACK_FAST_RETRANSMIT 3, CONNECTION_POLL_SECS $POLL_SECS,
                     MAX_RX_COUNT $RSP_WINDOW, CONGESTION_CONTROL $CONGESTION_CONTROL,
                     CONGESTION_TARGET_MS $CONGESTION_TARGET_MS);
  csel[1]
    -> mtq :: Queue($MTCOMP_QUEUE)
    -> mtcomp :: WMTComp(THREADS $MTCOMP_THREADS, COMPRESSOR $MTCOMP_COMPRESSOR, METHOD $METHOD,
                         LEVEL $MTCOMP_LEVEL, ADAPTIVE $ADAPTIVE)
    -> [0]rsp;
  // Element classes cannot come from a define: both compressors are there,
  // and this turns the switch to mtcomp when $comp names it (at start,
  // before the tunnel opens; until then comp would only compress
  // statelessly).
  Script(goto done $(eq $comp comp), write csel.switch 1, label done);
  // With PIPELINE 1 the packets for the peer cross to the second thread
  // here, in the order the byte cache produced them. They are in the cache
  // already, so the queue is as deep as RSP's window (see mtq above):
  // dd_q.drops counts what would leave the two datastores out of step.
  dd_tx[1] -> dd_q :: ThreadSafeQueue($RSP_WINDOW) -> dd_uq :: Unqueue(BURST 32) -> csel;
  StaticThreadSched(dd_uq $PIPELINE);
  rsp[2] -> wan_tx_own;                            // RSP's own packets

  // Data packets: parity for each group of FEC_GROUP stream packets (FEC),
  // or else small packets stacked (STACKER): a lost stacker packet would
  // take several packets of one group. Parity and stacker packets are
  // addressed to the peer appliance.
  stksw :: Switch($STACKER);
  rsp[0] -> fecsw :: Switch($FEC);
  fecsw[0] -> stksw;
  fecsw[1] -> fec :: WFEC(MODE TX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT $port,
                          GROUP_SIZE $FEC_GROUP, BULK_GROUP_SIZE $FEC_BULK_GROUP, RSP rsp,
                          ADAPTIVE $FEC_ADAPTIVE, FLUSH_MS $FEC_FLUSH_MS)
    -> wan_tx;
  fec[1] -> wan_tx_own;
  stksw[0] -> wan_tx;
  stksw[1] -> stk :: Stacker(MODE TX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT $port,
                             WAIT_TIME_MS $STACK_WAIT_MS, WHOLE_FIRST 2);
  stk[0] -> wan_tx;                                // too large to stack
  stk[1] -> wan_tx_own;                            // stacker packets
  stk[2] -> Discard;                               // copied into one

  // From the peer: reflected packets turn their session back to the plain
  // path; peer information is answered; RSP acknowledges and orders; the
  // decompressor restores the original packet; the L2 mapper its header.
  input[1]
    -> wan_rx :: Counter
    -> alive :: Tee(2)
    -> hsr :: WHandleShimReflect
    -> pi :: WPeerInfo(LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT $port)
    -> unstk :: Stacker(MODE RX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT $port)
    -> nostk :: DropStacker                        // none before the peer is known
    -> unfec :: WFEC(MODE RX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT $port,
                     GROUP_SIZE $FEC_GROUP, BULK_GROUP_SIZE $FEC_BULK_GROUP)
    -> [1]rsp;
  unstk[1] -> unfec;                               // unpacked stream packets
  unstk[2] -> Discard;
  unfec[1] -> [1]rsp;                              // rebuilt from parity
  alive[1] -> [3]output;                           // the peer is alive
  pi[1] -> wan_tx_own;                             // requests
  pi[2] -> wan_tx_own;                             // responses
  pi[3] -> Discard;
  rsp[1]
    -> dec :: WMTDeComp(RSP rsp, THREADS 15)       // either compressor of the peer
    -> lan_rx;
  dec[1] -> dd;                                    // still deduplicated: rehydrate
  skip[0] -> dd;                                   // encrypted: through the cache (policy off)
  skip[1] -> dd_tx;                                //   or around it (DPI_SKIP_CACHE=1)
  dd[1] -> dd_tx;                                  // byte-cache sync traffic, to the peer
  dd[2] -> lan_rx;                                 // rehydrated
}

// One branch per peer port. Protocol detection takes branch 1 on its port 0
// and branch N on port N (its port 1 is the restored traffic, below). A
// peer port above the last branch sends its traffic down the plain path
// (out_l and in_l warn once); for more peers, raise MAX_PEERS and add
// branches the same way.
out_l[1] -> peer1 :: PeerBranch(1, $COMP1) -> to_wan;  in_l[1] -> [1]peer1[1] -> arpq;
peer1[2] -> l2in;  peer1[3] -> bh;  peer1[4] -> [0]dpi[0] -> [2]peer1;
out_l[2] -> peer2 :: PeerBranch(2, $COMP2) -> to_wan;  in_l[2] -> [1]peer2[1] -> arpq;
peer2[2] -> l2in;  peer2[3] -> bh;  peer2[4] -> [2]dpi[2] -> [2]peer2;
out_l[3] -> peer3 :: PeerBranch(3, $COMP3) -> to_wan;  in_l[3] -> [1]peer3[1] -> arpq;
peer3[2] -> l2in;  peer3[3] -> bh;  peer3[4] -> [3]dpi[3] -> [2]peer3;
out_l[4] -> peer4 :: PeerBranch(4, $COMP4) -> to_wan;  in_l[4] -> [1]peer4[1] -> arpq;
peer4[2] -> l2in;  peer4[3] -> bh;  peer4[4] -> [4]dpi[4] -> [2]peer4;
out_l[5] -> peer5 :: PeerBranch(5, $COMP5) -> to_wan;  in_l[5] -> [1]peer5[1] -> arpq;
peer5[2] -> l2in;  peer5[3] -> bh;  peer5[4] -> [5]dpi[5] -> [2]peer5;
out_l[6] -> peer6 :: PeerBranch(6, $COMP6) -> to_wan;  in_l[6] -> [1]peer6[1] -> arpq;
peer6[2] -> l2in;  peer6[3] -> bh;  peer6[4] -> [6]dpi[6] -> [2]peer6;
out_l[7] -> peer7 :: PeerBranch(7, $COMP7) -> to_wan;  in_l[7] -> [1]peer7[1] -> arpq;
peer7[2] -> l2in;  peer7[3] -> bh;  peer7[4] -> [7]dpi[7] -> [2]peer7;
out_l[8] -> peer8 :: PeerBranch(8, $COMP8) -> to_wan;  in_l[8] -> [1]peer8[1] -> arpq;
peer8[2] -> l2in;  peer8[3] -> bh;  peer8[4] -> [8]dpi[8] -> [2]peer8;
// With PIPELINE 1 the WAN side runs on the second thread (each branch puts
// its dd_uq there too).
StaticThreadSched(wan_out $PIPELINE);

l2in[0] -> [1]dpi[1] -> to_lan;                   // restored: seen by protocol detection
l2in[1] -> to_lan;                                 // session unknown: header kept
