// Runtime internals shared by the host's own sources (not installed).
#ifndef QUILO_HOST_INTERNAL_HH
#define QUILO_HOST_INTERNAL_HH

#include <string>
#include <vector>

namespace quilo_host {

extern thread_local int current_thread_id;

// A port-count range: [lo, hi], hi == -1 for unbounded.
struct PortRange {
    int lo = 0;
    int hi = 0;
};
// Parses "in/out" port counts.  out_equals_in is set by "=" on the output side.
bool parse_port_count(const char* s, PortRange& in, PortRange& out, bool& out_equals_in);
// Processing code of port i: 'h', 'l' or 'a'.
char processing_code(const char* processing, bool isoutput, int port);
// Flow-code character of port i ('#' stays '#').
char flow_code_char(const char* flow_code, bool isoutput, int port);

}  // namespace quilo_host

#endif
