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
//                     are saturated (zstd and zlib only)
//   COMP1             the compressor of the peer 1 branch: comp1 (WComp,
//                     compresses on the thread the packet arrives on) or
//                     mtcomp1 (WMTComp behind the Queue mtq1: compresses on
//                     MTCOMP_THREADS worker threads, zstd or zlib only; run
//                     quilo-router with -j MTCOMP_THREADS + 1)
//   MTCOMP_COMPRESSOR, MTCOMP_LEVEL, MTCOMP_THREADS
//                     engine (4 zstd, 5 zlib), level and worker threads of
//                     mtcomp1
//   MTCOMP_QUEUE      packets the Queue in front of mtcomp1 holds (see
//                     below)
//   MSS               largest TCP segment announced on handshakes (see WConf)
//   DELAYED_ACK_MS    RSP's delayed acknowledgement
//   POLL_SECS         how often an RSP end that is only listening turns to
//                     opening the tunnel itself
//   RSP_WINDOW        packets RSP keeps in flight before it calls the
//                     window full
//   MAX_PEERS         peer output ports; this file wires one peer branch
//                     (port 1); see "More peers" at the end
//   BYPASS_HOLD       seconds without traffic from the peer before new
//                     sessions bypass the appliance
//   LOG_LEVEL         0 Debug .. 4 Error
//   FEC               1: an XOR parity packet follows every FEC_GROUP
//                     packets of RSP's stream, so that one loss in a group
//                     is rebuilt by the peer without a retransmission; 0 off
//   FEC_GROUP         stream packets per parity packet
//   STACKER           1: small tunnel packets are stacked into one WAN
//                     packet of up to 1500 bytes; 0 off
//   STACK_WAIT_MS     longest time a small packet waits to be stacked
//   WCONF_EXTRA, FT_EXTRA
//                     more WConf / FlowTable arguments, each starting with a
//                     comma, e.g. FT_EXTRA=", UDP_ROUTE 10.1.0.0/16 192.0.2.12"
//
// Reference settings, chosen for a real WAN of a few to a few hundred
// Mbit/s with tens of milliseconds of delay:
//  - Byte cache on, 4000 MB per peer (about 300 MB of index in memory):
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
//  - FEC 0 (FEC_GROUP 5 when on): RSP delivers in order, so every lost
//    tunnel packet holds the whole stream for at least one and a half
//    round trips until its retransmission arrives. A parity packet after
//    every 5 stream packets lets the peer rebuild a single loss in the
//    group at once. Measured on a 20 Mbit/s, 20 ms link with 5% loss each
//    way (bench/pair/loss_bench.sh, 44 MB of files, cold / warm pass):
//    plain TCP without the appliances 22.7 / 21.1 s, the pair without
//    parity 26.7 / 25.2 s, with parity 10.4 / 4.7 s; at 1% loss 20.5 /
//    20.9 s, 18.0 / 10.0 s and 11.7 / 5.7 s, and RSP resent a third as
//    many packets of a 20 MB random transfer. The price is one packet in
//    6 and about a fifth more WAN bytes on bulk transfers, paid on clean
//    links too, where it only costs (a bandwidth-bound transfer takes
//    longer by as much): switch FEC on for links that lose a percent or
//    more.
//    Parity is sent only for whole groups: the last packets before a pause
//    are covered by RSP's retransmission alone.
//  - STACKER 0: stacking saves a header and a queue slot per small packet
//    (voice, games, chatty protocols), but every small tunnel packet, TCP
//    acknowledgements included, then waits up to STACK_WAIT_MS; switch it
//    on for links that carry mostly small datagrams. Only the tunnel's
//    stream packets are stacked: RSP's own acknowledgements and control
//    packets and the FEC packets go out at once, so RSP's round-trip
//    estimate is not inflated. The receiving end always unpacks.
//    Unpacked packets get their Ethernet header from their session, which
//    the receiving appliance learns from packets that cross whole (the
//    first ones of a flow, or those in the other direction).
//  - The multi-threaded compressor (COMP1=mtcomp1) for links faster than
//    one core compresses with zstd or zlib: each worker keeps a stream of
//    its own and the peer decodes each with a decoder of its own
//    (dec1 :: WMTDeComp, 15 decoders). Its Queue (mtq1) is where packets
//    wait while every worker is busy. Dedup has already put the packets
//    into the byte cache, so a drop there leaves the two datastores out of
//    step (mtq1.drops counts them): the Queue is as deep as RSP's window
//    (MTCOMP_QUEUE = RSP_WINDOW). The TCP senders behind it cannot have
//    more packets outstanding than their windows, and their
//    acknowledgements return only once packets have passed the compressor,
//    so the Queue holds what the workers are behind by and stays far from
//    full while the workers keep up on average.
//  - MSS 1332: with TCP timestamps (12 bytes of options) a full segment
//    carries 1320 bytes = 4 chunks of 330 bytes, the byte cache's chunk
//    size, so repeated data lines up with the cache; and the tunnel's shim
//    and RSP header (12 bytes) still fit a 1500-byte MTU.

define($LAN_DEV lan0, $WAN_DEV wan0,
       $LOCAL_IP 10.77.0.11, $MAC 02:77:00:00:0a:02,
       $PEERS_FILE /etc/quilo/peers, $DS_DIR /var/lib/quilo,
       $HOSTNAME quilo, $RSP_MODE client,
       $COMPRESSOR 2, $METHOD streaming, $LEVEL 1, $ADAPTIVE false,
       $COMP1 comp1, $MTCOMP_COMPRESSOR 4, $MTCOMP_LEVEL 3, $MTCOMP_THREADS 2,
       $DS_SIZE 4000, $DEDUP_LEVEL 2,
       $MSS 1332, $DELAYED_ACK_MS 10, $MAX_PEERS 1,
       $BYPASS_HOLD 10, $POLL_SECS 10, $RSP_WINDOW 8000, $LOG_LEVEL 2,
       $FEC 0, $FEC_GROUP 5, $STACKER 0, $STACK_WAIT_MS 50,
       $WCONF_EXTRA, $FT_EXTRA, $IPPROTO 108);
define($MTCOMP_QUEUE $RSP_WINDOW);

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

// Frames leave through one queue per interface.
to_lan :: Queue(2000) -> lan_out :: ToDevice($LAN_DEV);
to_wan :: Queue(2000) -> wan_out :: ToDevice($WAN_DEV);

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
// also be switched while running: WRITE skip1.switch 1. Detection itself
// runs either way (about 30 ns a packet once a session is detected).

define($DPI_SKIP_CACHE 0);
dpi :: WDPI(NOTIFIER sm, LOCAL_IP $LOCAL_IP);

// ------------------------------------------------------------ peer 1
//
// To the peer: repeated payload becomes references into the byte cache
// (one datastore per peer, DS_DIR/peer1), the rest is compressed, then RSP
// numbers the packets and keeps them until acknowledged. Tunnel packets keep the session's addresses and Ethernet
// header; only the IP protocol changes.

out_l[1] -> [0]dpi[0] -> enc1 :: WDPISwitch(PROT 91 PORT 0, PROT 188 PORT 0)
  -> skip1 :: Switch($DPI_SKIP_CACHE);              // TLS, QUIC: see "Classification"
enc1[1]
  -> dd1 :: Dedup(0, 1, LEVEL $DEDUP_LEVEL, DS_SIZE $DS_SIZE, DS_DIR $DS_DIR)
  -> csel1 :: Switch(0);                           // to the compressor RSP drives
csel1[0]
  -> comp1 :: WComp(COMPRESSOR $COMPRESSOR, METHOD $METHOD, LEVEL $LEVEL, ADAPTIVE $ADAPTIVE)
  -> [0]rsp1 :: RSP(MODE $RSP_MODE, LOCAL_IP $LOCAL_IP, WRTT pi1, WCOMP $COMP1,
                    NOTIFIER ft, PEER_OUTPUT_PORT 1, DELAYED_ACK_MS $DELAYED_ACK_MS,
                    DUPLICATE_ACK_FAST_RETRANSMIT 3, CONNECTION_POLL_SECS $POLL_SECS,
                    MAX_RX_COUNT $RSP_WINDOW);
csel1[1]
  -> mtq1 :: Queue($MTCOMP_QUEUE)
  -> mtcomp1 :: WMTComp(THREADS $MTCOMP_THREADS, COMPRESSOR $MTCOMP_COMPRESSOR, METHOD $METHOD,
                        LEVEL $MTCOMP_LEVEL, ADAPTIVE $ADAPTIVE)
  -> [0]rsp1;
// Element classes cannot come from a define: both compressors are there, and
// this turns the switch to mtcomp1 when COMP1 names it (at start, before the
// tunnel opens; until then comp1 would only compress statelessly).
Script(goto done $(eq $COMP1 comp1), write csel1.switch 1, label done);
rsp1[2] -> arpq;                                   // RSP's own packets

// Data packets: parity for each group of FEC_GROUP stream packets (FEC),
// then small packets stacked (STACKER), groups whole before stacking.
// Parity and stacker packets are addressed to the peer appliance.
stk1sw :: Switch($STACKER);
rsp1[0] -> fec1sw :: Switch($FEC);
fec1sw[0] -> stk1sw;
fec1sw[1] -> fec1 :: WFEC(MODE TX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1,
                          GROUP_SIZE $FEC_GROUP)
  -> stk1sw;
fec1[1] -> arpq;
stk1sw[0] -> to_wan;
stk1sw[1] -> stk1 :: Stacker(MODE TX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1,
                             WAIT_TIME_MS $STACK_WAIT_MS);
stk1[0] -> to_wan;                                 // too large to stack
stk1[1] -> arpq;                                   // stacker packets
stk1[2] -> Discard;                                // copied into one

// From the peer: reflected packets turn their session back to the plain
// path; peer information is answered; RSP acknowledges and orders; the
// decompressor restores the original packet; the L2 mapper its header.
in_l[1]
  -> peer1 :: Counter
  -> alive1 :: Tee(2)
  -> hsr1 :: WHandleShimReflect
  -> pi1 :: WPeerInfo(LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1)
  -> unstk1 :: Stacker(MODE RX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1)
  -> nostk1 :: DropStacker                         // none before the peer is known
  -> unfec1 :: WFEC(MODE RX, LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1,
                    GROUP_SIZE $FEC_GROUP)
  -> [1]rsp1;
unstk1[1] -> unfec1;                               // unpacked stream packets
unstk1[2] -> Discard;
unfec1[1] -> [1]rsp1;                              // rebuilt from parity
alive1[1] -> bh;                                   // the peer is alive
pi1[1] -> arpq;                                    // requests
pi1[2] -> arpq;                                    // responses
pi1[3] -> Discard;
rsp1[1]
  -> dec1 :: WMTDeComp(RSP rsp1, THREADS 15)        // either compressor of the peer
  -> l2in;
dec1[1] -> dd1;                                    // still deduplicated: rehydrate
skip1[0] -> dd1;                                   // encrypted: through the cache (policy off)
skip1[1] -> csel1;                                 //   or around it (DPI_SKIP_CACHE=1)
dd1[1] -> csel1;                                   // byte-cache sync traffic, to the peer
dd1[2] -> l2in;                                    // rehydrated

l2in[0] -> [1]dpi[1] -> to_lan;                   // restored: seen by protocol detection
l2in[1] -> to_lan;                                 // session unknown: header kept

// ------------------------------------------------------------ More peers
//
// For a second peer, set MAX_PEERS 2 and copy the "peer 1" block with every
// 1 replaced by 2 (out_l[2], enc2, skip2, dd2, csel2, comp2, mtq2, mtcomp2,
// rsp2 with PEER_OUTPUT_PORT 2 and WCOMP $COMP2, fec2, stk2, in_l[2], pi2,
// unstk2, unfec2, dec2 and the others), and define $COMP2; dpi takes the
// second peer on its inputs 2 and 3. Peer ports without a branch send their
// traffic down the plain path.
