// bridge.click: a plain two-port bridge, the baseline an appliance is
// compared with: every frame crosses unchanged through one queue per
// direction. Takes the same LAN_DEV/WAN_DEV settings as appliance.click and
// ignores the others (scripts/pair.sh -c conf/bridge.click).

define($LAN_DEV lan0, $WAN_DEV wan0);

FromDevice($LAN_DEV, PROMISC true) -> lan_in :: Counter -> Queue(2000) -> ToDevice($WAN_DEV);
FromDevice($WAN_DEV, PROMISC true) -> wan_in :: Counter -> Queue(2000) -> ToDevice($LAN_DEV);
