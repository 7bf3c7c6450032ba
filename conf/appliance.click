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
//   COMPRESSOR        compressor engine: 0 none, 1 zlib, 2 LZ4, 3 LZ4 HC,
//                     4 zstd, 5 zstd with a higher ratio
//   METHOD            streaming (a compression context per tunnel: best
//                     ratio, relies on RSP's ordered delivery) or stateless
//   LEVEL             compression level; 0 switches compression off
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
//  - MSS 1332: with TCP timestamps (12 bytes of options) a full segment
//    carries 1320 bytes = 4 chunks of 330 bytes, the byte cache's chunk
//    size, so repeated data lines up with the cache; and the tunnel's shim
//    and RSP header (12 bytes) still fit a 1500-byte MTU.

define($LAN_DEV lan0, $WAN_DEV wan0,
       $LOCAL_IP 10.77.0.11, $MAC 02:77:00:00:0a:02,
       $PEERS_FILE /etc/quilo/peers, $DS_DIR /var/lib/quilo,
       $HOSTNAME quilo, $RSP_MODE client,
       $COMPRESSOR 2, $METHOD streaming, $LEVEL 1,
       $DS_SIZE 4000, $DEDUP_LEVEL 2,
       $MSS 1332, $DELAYED_ACK_MS 10, $MAX_PEERS 1,
       $BYPASS_HOLD 10, $POLL_SECS 10, $RSP_WINDOW 8000, $LOG_LEVEL 2,
       $WCONF_EXTRA, $FT_EXTRA, $IPPROTO 108,
       $QM true, $QM_RTT_DELTA 2, $QM_INTERVAL 100ms, $QM_DATA_ONLY true,
       $CONGESTION_CONTROL true, $CONGESTION_TARGET_MS 5);

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
tun_cl[0] -> reflect :: WShimReflect -> to_wan;

// ------------------------------------------------------------ peer 1
//
// To the peer: repeated payload becomes references into the byte cache
// (one datastore per peer, DS_DIR/peer1), the rest is compressed, then RSP
// numbers the packets and keeps them until acknowledged. Tunnel packets keep the session's addresses and Ethernet
// header; only the IP protocol changes.

out_l[1]
  -> qm1 :: WCCC(RSP rsp1, WCOMP comp1, RTT_DELTA $QM_RTT_DELTA, INTERVAL $QM_INTERVAL,
                 DATA_ONLY $QM_DATA_ONLY, ACTIVE $QM)
  -> dd1 :: Dedup(0, 1, LEVEL $DEDUP_LEVEL, DS_SIZE $DS_SIZE, DS_DIR $DS_DIR)
  -> comp1 :: WComp(COMPRESSOR $COMPRESSOR, METHOD $METHOD, LEVEL $LEVEL)
  -> [0]rsp1 :: RSP(MODE $RSP_MODE, LOCAL_IP $LOCAL_IP, WRTT pi1, WCOMP comp1,
                    NOTIFIER ft, PEER_OUTPUT_PORT 1, DELAYED_ACK_MS $DELAYED_ACK_MS,
                    DUPLICATE_ACK_FAST_RETRANSMIT 3, CONNECTION_POLL_SECS $POLL_SECS,
                    MAX_RX_COUNT $RSP_WINDOW, CONGESTION_CONTROL $CONGESTION_CONTROL,
                    CONGESTION_TARGET_MS $CONGESTION_TARGET_MS);
rsp1[0] -> to_wan;                                 // data packets
rsp1[2] -> arpq;                                   // RSP's own packets

// From the peer: reflected packets turn their session back to the plain
// path; peer information is answered; RSP acknowledges and orders; the
// decompressor restores the original packet; the L2 mapper its header.
in_l[1]
  -> peer1 :: Counter
  -> alive1 :: Tee(2)
  -> hsr1 :: WHandleShimReflect
  -> pi1 :: WPeerInfo(LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1)
  -> [1]rsp1;
alive1[1] -> bh;                                   // the peer is alive
pi1[1] -> arpq;                                    // requests
pi1[2] -> arpq;                                    // responses
pi1[3] -> Discard;
rsp1[1]
  -> dec1 :: WDeComp(RSP rsp1)
  -> l2in;
dec1[1] -> dd1;                                    // still deduplicated: rehydrate
dd1[1] -> comp1;                                   // byte-cache sync traffic, to the peer
dd1[2] -> l2in;                                    // rehydrated

l2in[0] -> to_lan;
l2in[1] -> to_lan;                                 // session unknown: header kept

// ------------------------------------------------------------ More peers
//
// For a second peer, set MAX_PEERS 2 and copy the "peer 1" block with every
// 1 replaced by 2 (out_l[2], comp2, rsp2 with PEER_OUTPUT_PORT 2, in_l[2],
// pi2, dec2). Peer ports without a branch send their traffic down the plain
// path.
