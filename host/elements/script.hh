// Script(INSTRUCTION, ...): runs a small program of handler calls, one
// instruction per argument:
//   wait TIME            pause (such as "wait 1", "wait 250ms")
//   write HANDLER [VAL]  call a write handler ("write c.reset", "write q.capacity 10")
//   read HANDLER         print "HANDLER:" and the handler's value to standard error
//   print TEXT           print TEXT to standard output
//   set VAR TEXT         set a variable ("set x $(add $x 1)")
//   init VAR TEXT        set a variable only if it is unset
//   label NAME           a place to jump to
//   goto NAME [COND]     jump, if COND (when given) is true or a non-zero number
//   loop                 jump to the first instruction
//   end                  stop the script; stop  stop the router too
// Text undergoes expansion: $VAR and ${VAR} give variables, $(E.H) reads
// handler E.H, $(add A B), sub, mul, div, mod, eq, ne, lt, gt, le, ge, not
// compute with numbers (eq and ne compare text when not numeric).
// Put instructions that use variables in single quotes ('set n $(add $n 1)')
// so that the configuration's own $ substitution leaves them alone.
// Keywords: TYPE (ACTIVE: runs at start, the default; PASSIVE: runs when
// its "run" handler is written).
// Ports: none.
// Handlers: run (write: start from the top), step (read: the index of
// the next instruction).
#pragma once
#include <host/element.hh>
#include <host/timer.hh>

#include <map>

class Script : public Element {
 public:
    Script() : _timer(this) {}
    const char* class_name() const override { return "Script"; }
    const char* port_count() const override { return PORTS_0_0; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    int initialize(ErrorHandler* errh) override;
    void add_handlers() override;
    void run_timer(Timer*) override;

    // Expands $VAR, ${VAR} and $(...) in text.
    std::string expand(const std::string& text, ErrorHandler* errh, int depth = 0);

 private:
    enum Op { OP_WAIT, OP_WRITE, OP_READ, OP_PRINT, OP_SET, OP_INIT, OP_LABEL, OP_GOTO, OP_LOOP, OP_END, OP_STOP };
    struct Insn {
        Op op;
        std::string a, b;   // first word and the rest
    };
    std::string eval_call(const std::string& inner, ErrorHandler* errh, int depth);
    void run();
    std::vector<Insn> _insns;
    std::map<std::string, int> _labels;
    std::map<std::string, std::string> _vars;
    bool _passive = false;
    size_t _pc = 0;
    bool _running = false;
    Timer _timer;
};
