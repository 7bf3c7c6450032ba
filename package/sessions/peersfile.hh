// The peers file: one peer appliance per line, in configuration syntax,
//
//     PEER_IP, OUTPUT_PORT[, HOSTNAME[, PEER_MAC]]
//
// (keywords may stand in front of the values). Lines are written as
// "10.1.1.2, 1, branch, 00-11-22-33-44-55". Host names come from the peers
// themselves, so they are written with the host's configuration quoting:
// plain names stay as they are, names with commas, quotes, blanks, newlines
// or other bytes are double-quoted with escapes and always read back intact
// on one line. Lines may be of any length.
#pragma once

#include <host/etheraddress.hh>
#include <host/ipaddress.hh>

#include <string>
#include <vector>

class ErrorHandler;

struct PeerInfo {
    IPAddress peer;
    int port = 0;
    std::string hostname;
    EtherAddress mac;
};

namespace peersfile {

// Parses one non-empty line. False when it is not a valid peer line.
bool parse_line(const std::string& line, PeerInfo* out);

// One line without the newline.
std::string format_line(const PeerInfo& p);

// Reads the file at `path` in file order, creating it empty when missing.
// Errors: "Unable to open peers config file: %s" (path) and
// "Peer config file parse error: %s" (the line), through errh; returns -1.
int read(const std::string& path, std::vector<PeerInfo>* out, ErrorHandler* errh);

// Replaces the file at `path` with `peers`: the lines go to a temporary file
// in the same directory, which is flushed to disk and renamed over the old
// file, so a crash leaves either the old or the new file, never a part.
// Returns 0, or -1 with a description in *err. Callers serialise writes.
int write(const std::string& path, const std::vector<PeerInfo>& peers, std::string* err);

// Test hook: when set, write() stops after this many bytes of the temporary
// file, as if the process had died there (returns -1, leaves the temporary
// file behind). Negative: off.
extern long crash_after_bytes;

}  // namespace peersfile
