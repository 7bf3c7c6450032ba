// Registration of the package's element classes with the host.
//
// The table below is the one list of the package's 53 element classes with
// their fixed type ids; routers, saved configurations and tests rely on these
// ids, so rows are never reordered. An element attaches its factory to its row
// from its own .cc file:
//
//     QUILO_REGISTER_ELEMENT(WConf);                    // registered name == class name
//     QUILO_REGISTER_ELEMENT_AS(WNullElement, "WNull"); // registered name differs
//
// The name is looked up at compile time, so a misspelt or unknown name does not
// build. init_module registers, in id order, only the rows that have a factory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class Element;

namespace quilo {

struct ElementRow {
    int id;
    const char* name;
};

inline constexpr ElementRow element_table[] = {
    {0, "WCCC"},
    {1, "WLLRED"},
    {2, "WLRED"},
    {3, "WRED"},
    {4, "BypassHandler"},
    {5, "PeerProbe"},
    {6, "ProbeHandler"},
    {7, "DPIClassifier"},
    {8, "IPCompDecap"},
    {9, "MSSAdjust"},
    {10, "UDPIPDecap"},
    {11, "QuiloIPFragmenter"},
    {12, "QuiloTCPFragmenter"},
    {13, "QuiloUDPIPEncap"},
    {14, "WCheckTCPHeader"},
    {15, "WCheckUDPHeader"},
    {16, "WConf"},
    {17, "WCounter"},
    {18, "WFromDump"},
    {19, "WIPDecap"},
    {20, "WIPEncap"},
    {21, "WIPMirror"},
    {22, "WIPPrint"},
    {23, "WKeepAlive"},
    {24, "WNull"},
    {25, "WRadixIPLookup"},
    {26, "WComp"},
    {27, "WDeComp"},
    {28, "WMTComp"},
    {29, "WMTDeComp"},
    {30, "Crash"},
    {31, "SessionListenerTest"},
    {32, "Dedup"},
    {33, "WDPI"},
    {34, "WDPISwitch"},
    {35, "WEtherSwitch"},
    {36, "XEtherSwitch"},
    {37, "WFEC"},
    {38, "WNetflowSwitch"},
    {39, "WSetDirection"},
    {40, "WSetRXLen"},
    {41, "PathRedirect"},
    {42, "WPeerInfo"},
    {43, "DropRSPRetransmit"},
    {44, "RSP"},
    {45, "FlowLookup"},
    {46, "FlowTable"},
    {47, "L2Mapper"},
    {48, "SessionManager"},
    {49, "WHandleShimReflect"},
    {50, "WShimReflect"},
    {51, "DropStacker"},
    {52, "Stacker"},
};

inline constexpr int element_count = int(sizeof(element_table) / sizeof(element_table[0]));
static_assert(element_count == 53, "the package registers 53 element classes");

// Fixed id of a registered name, or -1.
constexpr int element_id(std::string_view name) {
    for (const ElementRow& r : element_table)
        if (name == r.name)
            return r.id;
    return -1;
}

using ElementFactory = Element* (*)();

// Attaches `f` to row `id`; called from static initialisers of element files.
// Returns true so it can initialise a namespace-scope constant.
bool attach_factory(int id, ElementFactory f);

// The factory of row `id`, or null (no element attached yet, or id out of range).
ElementFactory factory(int id);

// Builds a new element of fixed id `id`, or returns null for an id without a
// class (above 52, negative, or a row with no element in this build).
Element* create_element(uintptr_t id);

// Host type ids returned by the last init_module, in the order registered
// (empty when the package is not loaded). For tests.
struct RegisteredType {
    int fixed_id;
    int host_id;
};
size_t registered_types(RegisteredType* out, size_t max);

}  // namespace quilo

extern "C" {
int init_module();
void cleanup_module();
}

#define QUILO_REGISTER_CAT2(a, b) a##b
#define QUILO_REGISTER_CAT(a, b) QUILO_REGISTER_CAT2(a, b)

#define QUILO_REGISTER_ELEMENT_AS(Class, Name)                                                  \
    static_assert(::quilo::element_id(Name) >= 0, "not a registered element name: " Name);    \
    namespace {                                                                                \
    [[maybe_unused]] const bool QUILO_REGISTER_CAT(quilo_registered_, Class) =                 \
        ::quilo::attach_factory(::quilo::element_id(Name), []() -> Element* { return new Class; }); \
    }                                                                                          \
    static_assert(true, "")

#define QUILO_REGISTER_ELEMENT(Class) QUILO_REGISTER_ELEMENT_AS(Class, #Class)
