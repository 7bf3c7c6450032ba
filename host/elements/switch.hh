// Switch(OUTPUT): sends every packet to output OUTPUT; -1 drops them.
// Ports: 1 input, any number of outputs; push.
// Handlers: switch (read/write: the output number).
//
// PaintSwitch(ANNO): sends each packet to the output named by its paint
// annotation (one byte at ANNO, default 16); packets whose paint names no
// output are dropped and counted.
// Handlers: drops (read).
#pragma once
#include <host/element.hh>

#include <atomic>

class Switch : public Element {
 public:
    const char* class_name() const override { return "Switch"; }
    const char* port_count() const override { return "1/-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override {
        int o = _output.load(std::memory_order_relaxed);
        if (o >= 0 && o < noutputs())
            output(o).push(p);
        else
            p->kill();
    }

 private:
    std::atomic<int> _output{0};
};

class PaintSwitch : public Element {
 public:
    const char* class_name() const override { return "PaintSwitch"; }
    const char* port_count() const override { return "1/-"; }
    const char* processing() const override { return PUSH; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    void add_handlers() override;
    void push(int, Packet* p) override {
        int o = p->anno_u8(_anno);
        if (o < noutputs())
            output(o).push(p);
        else {
            _drops.fetch_add(1, std::memory_order_relaxed);
            p->kill();
        }
    }

 private:
    int _anno = PAINT_ANNO_OFFSET;
    std::atomic<uint64_t> _drops{0};
};
