// LearningSwitch: what WEtherSwitch and XEtherSwitch share. Not registered.
//
// Frames have their Ethernet header at the start of the packet data and
// leave unchanged. A frame arriving on input `in`:
//   - shorter than an Ethernet header (14 bytes): killed, counted in
//     short_frames;
//   - with TIMEOUT 0: flooded, nothing learned or looked up;
//   - otherwise its source address is learned on `in` with the frame's
//     timestamp (the current time when the frame has none); a group
//     destination is flooded; a unicast destination learned less than
//     TIMEOUT ago goes to the port it was learned on if the rule of `in`
//     allows that port and is killed if not; an older entry is removed and
//     the frame flooded, as is a frame to an unknown address.
// Flooding sends the frame to every output the rule of `in` allows (clones
// to all but the last visited, which gets the frame itself); a frame with
// no allowed output is killed. Each subclass fixes its rules and the order
// in which outputs are visited.
//
// Keyword: TIMEOUT (seconds, default 300): how long a learned address stays
// valid; 0 turns learning off.
// Ports: as many push inputs as outputs, at least two, at most 1024.
// Handlers: table (read: one line per entry, "ADDRESS PORT"), timeout
// (read/write: whole seconds; larger numbers saturate), short_frames and
// drops (read: frames killed because a rule forbade their output or allowed
// none).
#pragma once

#include <host/element.hh>
#include <host/spinlock.hh>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "etherswitch/ethertable.hh"

class LearningSwitch : public Element {
  public:
    static constexpr int max_ports = 1024;
    static constexpr uint32_t max_timeout = 0x7fffffff;

    const char* port_count() const override { return "2-/="; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int port, Packet* p) override;

    uint32_t timeout() const { return _timeout.load(std::memory_order_relaxed); }
    void set_timeout(uint32_t seconds) { _timeout.store(seconds, std::memory_order_relaxed); }
    std::string table_text();
    size_t table_size();
    uint64_t short_frames() const { return _short.load(std::memory_order_relaxed); }
    uint64_t drops() const { return _drops.load(std::memory_order_relaxed); }

  protected:
    using Word = uint64_t;
    static constexpr int word_bits = 64;
    static constexpr int max_words = max_ports / word_bits;

    // Rules: bit j of rule i (word j / 64 of its nwords() words) set when
    // frames arriving on input i may leave on output j.
    int nwords() const { return _nwords; }
    static bool bit(const Word* rule, int j) { return rule[j / word_bits] >> (j % word_bits) & 1; }
    static void set_bit(Word* rule, int j, bool on);
    // Every rule: all outputs but the frame's own input.
    std::vector<Word> default_rules() const;
    std::vector<Word> rules();
    void set_rules(std::vector<Word> rules);

    // Called at the end of a successful configure: the initial rules.
    virtual std::vector<Word> initial_rules() const = 0;
    // Flooding visits outputs from the highest port down (else from 0 up).
    virtual bool flood_descending() const = 0;
    // Reported when keyword parsing fails, after the parser's own message.
    virtual const char* timeout_error() const { return nullptr; }

  private:
    void flood(Packet* p, const Word* rule);

    Spinlock _lock;  // the table and the rules
    EtherTable _table;
    std::vector<Word> _rules;
    int _nwords = 0;
    std::atomic<uint32_t> _timeout{300};
    std::atomic<uint64_t> _short{0};
    std::atomic<uint64_t> _drops{0};
};
