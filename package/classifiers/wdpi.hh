// WDPI: detects the application protocol of each session with nDPI and
// writes it into the DPI_MASTER_PROTO and DPI_PROTO annotations, where
// DPIClassifier and WDPISwitch read it.
//
//   WDPI(NOTIFIER sm, LOCAL_IP addr [, PROTOCOL_FILE path]
//        [, ENABLE_PROTOCOL_GUESS bool] [, DEBUG bool])
//
// NOTIFIER   the SessionManager whose sessions are inspected (mandatory);
//            records are made and dropped with its sessions.
// LOCAL_IP   the appliance's own address (mandatory): sessions and packets
//            to or from it are not inspected.
// PROTOCOL_FILE  an nDPI protocol file of extra rules, loaded at start; a
//            file that cannot be loaded stops the router from starting.
// ENABLE_PROTOCOL_GUESS  (false) when nDPI names nothing, guess from the
//            ports and addresses.
// DEBUG      (false) one debug line per finished detection.
//
// Ports "-/=", push: a packet entering input i leaves on output i. WDPI
// inspects plain TCP and UDP packets of known sessions (the session id and
// direction annotations of SessionManager, or of L2Mapper on restored
// packets). In an appliance it therefore sits where traffic is plain in
// both directions: one input before Dedup on the path to the peer, one
// after the decompressor and Dedup have restored what came from the peer.
//
// The first packets of a session are given to nDPI until it names an
// application protocol, or for at most 10 TCP / 8 UDP packets (the next
// packet ends detection); meanwhile packets carry the interim result.
// Without a name the session gets application protocol 1000 + the smaller
// of its two ports, taken in 16 bits (1000 + a port above 64535 wraps to a
// small number). Then every packet only gets the stamp. Packets that are
// not TCP or UDP, to or from LOCAL_IP, non-first fragments, without a
// session, or whose IP header is short or truncated pass unchanged.
//
// Hot reconfiguration: the new WDPI takes over the nDPI module and every
// session record, so detected sessions keep their results and running
// detections go on.
//
// Read handlers:
//   sessions     session records held
//   detected     detections that ended with a protocol named by nDPI (or guessed)
//   undetected   detections that ended with the port fallback
//   inspected    packets given to nDPI
//   skipped      packets not inspected (not TCP/UDP, LOCAL_IP, no session id)
//   malformed    packets without a well-formed IPv4 header
//   protocols    one line per application protocol of finished detections:
//                "NAME COUNT"
//   flows        one line per session (packets: those given to nDPI): "ID tcp|udp WAN_ADDR:PORT <-> LAN_ADDR:PORT
//                app=NAME master=NAME packets=N done|detecting
//                host=SERVER_NAME cert=SERVER_CERT_NAMES" ("-" when empty)
#pragma once

#include <host/element.hh>

#include <memory>

#include "classifiers/ndpidetector.hh"

class WDPI : public Element {
  public:
    WDPI();
    ~WDPI() override;

    const char* class_name() const override { return "WDPI"; }
    const char* port_count() const override { return "-/="; }
    const char* processing() const override { return PUSH; }
    void* cast(const char* name) override;

    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void take_state(Element* old, ErrorHandler* errh) override;
    void cleanup(CleanupStage stage) override;

    void push(int port, Packet* p) override;

    NDPIDetector* detector() const { return _detector.get(); }

  private:
    std::unique_ptr<NDPIDetector> _detector;
    SessionNotifier* _notifier = nullptr;
};
