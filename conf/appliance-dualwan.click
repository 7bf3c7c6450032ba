// appliance-dualwan.click: the reference appliance for a site with two WAN
// links, each behind a gateway router of its own.
//
// The appliance is the same transparent bump in the wire as appliance.click
// (whose head comment explains the shared settings and the reference
// values), placed between the LAN and the segment where both gateways sit.
// The LAN's hosts use PRIMARY_GW as their default gateway. A PathRedirect
// element watches both paths to the peer appliance, which sits behind the
// gateways in another subnet, and sends every frame towards the primary
// gateway to the secondary one while path A is down:
//
//   LAN --- appliance --- PRIMARY_GW   (path A) --- ... --- peer's site
//                     \-- SECONDARY_GW (path B) --- ... ---/
//
//   quilo-router -u /run/quilo.sock conf/appliance-dualwan.click \
//       LAN_DEV=eth1 WAN_DEV=eth2 LOCAL_IP=192.0.2.11 MAC=00:11:22:33:44:55 \
//       PRIMARY_GW=192.0.2.1 SECONDARY_GW=192.0.2.2 \
//       PEERS_FILE=/etc/quilo/peers RSP_MODE=client
//
// Path settings (besides those of appliance.click):
//   PRIMARY_GW, SECONDARY_GW
//                     the two gateways, in LOCAL_IP's subnet
//   FAIL_OVER         switch paths (true), or only grade and report them
//   PREEMPT           return to path A once it has been healthy for
//                     TIMEOUT + 2 checks (true), or stay on path B until it
//                     fails in turn
//   TIMEOUT           unanswered probes (beyond those seen when the losses
//                     began), or checks with the RTT above MAX_RTT, that
//                     mark a path down (6)
//   MAX_RTT           RTT limit of each path in milliseconds (5000)
//   RTT_SECS          seconds between RTT probes on each path (5)
//   MAX_EVENTS        path switches per 5 minutes after which the checks
//                     pause for 5 minutes (10)
//
// The paths are checked every 5 seconds, the first time 20 seconds after
// start. With the defaults a path is declared down 35 to 45 seconds after
// its probes stop being answered, and path A is taken back 40 to 50
// seconds after it answers again.
//
// Reading the path selection: pr.active (the gateway in use), pr.link_a,
// pr.link_b, pr.total_events (switches), pr.primary_mac, pr.secondary_mac,
// pr.redirected (frames sent to the other gateway); pi1.wrtt and
// pi1_b.wrtt (RTT of each path), pi1.missed_responses,
// pi1_b.missed_responses; arptable.table (the gateways' MACs) and
// lan_arpr.table (the proxy ARP entry while path B is active).

define($LAN_DEV lan0, $WAN_DEV wan0,
       $LOCAL_IP 10.77.1.11, $MAC 02:77:00:00:0a:02,
       $PRIMARY_GW 10.77.1.254, $SECONDARY_GW 10.77.1.253,
       $FAIL_OVER true, $PREEMPT true, $TIMEOUT 6, $MAX_RTT 5000,
       $RTT_SECS 5, $MAX_EVENTS 10,
       $PEERS_FILE /etc/quilo/peers, $DS_DIR /var/lib/quilo,
       $HOSTNAME quilo, $RSP_MODE client,
       $COMPRESSOR 2, $METHOD streaming, $LEVEL 1,
       $DS_SIZE 4000, $DEDUP_LEVEL 2,
       $MSS 1332, $DELAYED_ACK_MS 10, $MAX_PEERS 1,
       $BYPASS_HOLD 10, $POLL_SECS 10, $RSP_WINDOW 8000, $LOG_LEVEL 2,
       $WCONF_EXTRA, $FT_EXTRA, $IPPROTO 108);

require(package "quilo");

// ---------------------------------------------------------------- shared state

WConf(MAX_PEERS $MAX_PEERS, MSS $MSS, IPPROTO $IPPROTO, HOSTNAME $HOSTNAME,
      LOG_LEVEL $LOG_LEVEL $WCONF_EXTRA);

sm :: SessionManager;
ft :: FlowTable(NOTIFIER sm, PEERS_FILE_PATH $PEERS_FILE $FT_EXTRA);
ph :: ProbeHandler;
l2in :: L2Mapper(NOTIFIER sm, DIRECTION WAN_IN, FORCE true);

to_lan :: Queue(2000) -> lan_out :: ToDevice($LAN_DEV);

// Every frame towards the WAN passes the path selection, which sends frames
// for either gateway to the active one, and each path's probes to their own.
to_wan :: Null
  -> pr :: PathRedirect(pi1, rsp1, $PRIMARY_GW, $SECONDARY_GW, $LOCAL_IP, $MAC,
                        BRIDGE true, FAIL_OVER $FAIL_OVER, PREEMPT $PREEMPT,
                        TIMEOUT $TIMEOUT, MAX_RTT_A $MAX_RTT, MAX_RTT_B $MAX_RTT,
                        MAX_EVENTS $MAX_EVENTS)
  -> wan_q :: Queue(2000) -> wan_out :: ToDevice($WAN_DEV);
pr[1] -> wan_q;                                    // ARP requests for the gateways

// The gateways' MACs, learnt from their ARP replies; pr reads them here.
arptable :: ARPTable;
// The tunnel's own packets (RSP control, peer information) go to the peer
// through a gateway: their next hop is PRIMARY_GW, which pr redirects.
arpq :: ARPQuerier($LOCAL_IP, $MAC, TABLE arptable) -> to_wan;
own :: SetIPAddress($PRIMARY_GW) -> arpq;

bypass :: BypassSwitch(BYPASS true);
bh :: BypassHandler(bypass.bypass, $BYPASS_HOLD);

// ------------------------------------------------------------ LAN -> WAN

lan_dev :: FromDevice($LAN_DEV, PROMISC true) -> lan_in :: Counter -> bypass;
bypass[1] -> to_wan;
bypass[0] -> lan_cl :: Classifier(12/0800, 12/0806 20/0001, -);
// ARP requests from the LAN: while path B is active pr has lan_arpr answer
// for PRIMARY_GW, so hosts keep their gateway even when it is gone; the
// others are bridged.
lan_cl[1] -> lan_arpr :: ARPResponder;
lan_arpr[0] -> to_lan;
lan_arpr[1] -> to_wan;
lan_cl[2] -> to_wan;
lan_cl[0] -> lan_ip :: CheckIPHeader(14);
lan_ip[1] -> to_wan;
lan_ip
  -> mss :: MSSAdjust
  -> [0]sm[0]
  -> out_l :: FlowLookup(WAN_OUT);

out_l[0] -> lanprobe :: PeerProbe(1, 0, false, $LOCAL_IP, $MAC);
lanprobe[0] -> to_wan;
lanprobe[1] -> to_wan;

// ------------------------------------------------------------ WAN -> LAN

wan_dev :: FromDevice($WAN_DEV, PROMISC true) -> wan_in :: Counter
  -> wan_cl :: Classifier(12/0806 20/0001, 12/0806 20/0002, 12/0800, -);
wan_cl[0] -> arpr :: ARPResponder($LOCAL_IP $MAC);  // the gateways ask for us
arpr[0] -> to_wan;
arpr[1] -> to_lan;
wan_cl[1] -> arp_t :: Tee(2);                       // ARP replies: learnt and bridged
arp_t[0] -> [1]arpq;
arp_t[1] -> to_lan;
wan_cl[3] -> to_lan;
wan_cl[2] -> wan_ip :: CheckIPHeader(14);
wan_ip[1] -> to_lan;
wan_ip
  -> [1]sm[1]
  -> wanprobe :: PeerProbe(0, 1, false, $LOCAL_IP, $MAC, true)
  -> in_l :: FlowLookup(WAN_IN);
wanprobe[1] -> Discard;

in_l[0] -> tun_cl :: IPClassifier(ip proto $IPPROTO, -);
tun_cl[1] -> to_lan;
tun_cl[0] -> reflect :: WShimReflect -> to_wan;

// ------------------------------------------------------------ peer 1

out_l[1]
  -> dd1 :: Dedup(0, 1, LEVEL $DEDUP_LEVEL, DS_SIZE $DS_SIZE, DS_DIR $DS_DIR)
  -> comp1 :: WComp(COMPRESSOR $COMPRESSOR, METHOD $METHOD, LEVEL $LEVEL)
  -> [0]rsp1 :: RSP(MODE $RSP_MODE, LOCAL_IP $LOCAL_IP, WRTT pi1, WCOMP comp1,
                    NOTIFIER ft, PEER_OUTPUT_PORT 1, DELAYED_ACK_MS $DELAYED_ACK_MS,
                    DUPLICATE_ACK_FAST_RETRANSMIT 3, CONNECTION_POLL_SECS $POLL_SECS,
                    MAX_RX_COUNT $RSP_WINDOW);
rsp1[0] -> to_wan;                                 // data packets, with the session's header
rsp1[2] -> own;                                    // RSP's own packets

// Peer information per path: pi1_b probes path B and takes the packets of
// path B first; the rest (path A's probes, host names) go on to pi1, which
// probes path A. Each one's requests and answers are marked with its path.
in_l[1]
  -> peer1 :: Counter
  -> alive1 :: Tee(2)
  -> hsr1 :: WHandleShimReflect
  -> pi1_b :: WPeerInfo(LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1,
                        PATH_LINK 2, RTT_TIMER_INTERVAL $RTT_SECS)
  -> pi1 :: WPeerInfo(LOCAL_IP $LOCAL_IP, NOTIFIER ft, PEER_OUTPUT_PORT 1,
                      PATH_LINK 1, RTT_TIMER_INTERVAL $RTT_SECS)
  -> [1]rsp1;
pi1_b[3] -> pi1;
alive1[1] -> bh;
pi1[1] -> own;                                     // requests
pi1[2] -> own;                                     // responses
pi1_b[1] -> own;
pi1_b[2] -> own;
pi1[3] -> Discard;
rsp1[1]
  -> dec1 :: WDeComp(RSP rsp1)
  -> l2in;
dec1[1] -> dd1;
dd1[1] -> comp1;
dd1[2] -> l2in;

l2in[0] -> to_lan;
l2in[1] -> to_lan;
