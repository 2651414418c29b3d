// What the module reads from `ip -details link show IF`: which link the output is about, whether
// it is up, its nominal bitrate and its link kind. Only four things are looked at: the label of
// the first line's "N: LABEL:" header, the first flag list in angle brackets, the first line
// holding "bitrate " and the word that starts the line after the `link/can` line (the link kind:
// "can", "vcan" or "vxcan"). Everything else is the tool's.
//
// Thread-safety: pure functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmot::comm::can {

enum class LinkKind {
    unknown,  // not a CAN link (loopback, ethernet, ...): no CAN link kind word where the tool
              // prints it
    can,      // a CAN controller: has a bitrate
    vcan,     // virtual CAN: no bitrate
    vxcan,    // one end of a virtual CAN tunnel: no bitrate
};

struct IpLinkDetails {
    // The first line's link label: "NAME", or "NAME@PEER" for a link paired with another one
    // ("vxcan0@vxcan1"); empty when the first line is no "N: LABEL:" header.
    std::string label;
    bool is_up = false;
    std::optional<std::uint32_t> bitrate;  // none: no "bitrate " line, no digits, or above u32
    LinkKind kind = LinkKind::unknown;

    // True when the output is about the link named `interface` itself: the label is that name,
    // alone or followed by "@PEER". The tool reads some words as filters instead of names (`up`
    // lists every link that is up), and then the first link shown is another one.
    bool describes(std::string_view interface) const;

    // CAN controllers and virtual CAN links; never loopback, ethernet or any other kind.
    bool is_can_link() const { return kind != LinkKind::unknown; }

    // Virtual links never get a bitrate; they only need to be up.
    bool is_virtual_can() const { return kind == LinkKind::vcan || kind == LinkKind::vxcan; }
};

// Parses the raw standard output of the show command. The bytes are decoded as UTF-8 first,
// with invalid sequences replaced by U+FFFD.
IpLinkDetails parse_ip_link_details(std::string_view raw_output);

}  // namespace velmot::comm::can
