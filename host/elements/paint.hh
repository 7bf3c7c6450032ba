// Paint(COLOR [, ANNO]): sets a one-byte annotation of every packet to COLOR.
// Keywords: COLOR (0 to 255, mandatory), ANNO (annotation offset, default
// the paint annotation, 16).
// Ports: 1 input, 1 output, push or pull.
// Handlers: color (read/write; writing reconfigures COLOR).
#pragma once
#include <host/element.hh>

class Paint : public Element {
 public:
    const char* class_name() const override { return "Paint"; }
    const char* port_count() const override { return PORTS_1_1; }
    bool can_live_reconfigure() const override { return true; }
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;
    Packet* simple_action(Packet* p) override;
    void add_handlers() override;

 private:
    uint8_t _color = 0;
    int _anno = PAINT_ANNO_OFFSET;
};
