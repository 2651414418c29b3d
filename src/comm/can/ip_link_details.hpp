// What the module reads from `ip -details link show IF`: whether the interface is up, its nominal
// bitrate and its link kind. Only three things are looked at: the first flag list in angle
// brackets, the first line holding "bitrate " and the word that starts the line after the
// `link/can` line (the link kind: "can", "vcan" or "vxcan"). Everything else is the tool's.
//
// Thread-safety: pure functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmot::comm::can {

enum class LinkKind {
    unknown,  // no link kind word where the tool prints it
    can,      // a CAN controller: has a bitrate
    vcan,     // virtual CAN: no bitrate
    vxcan,    // one end of a virtual CAN tunnel: no bitrate
};

struct IpLinkDetails {
    bool is_up = false;
    std::optional<std::uint32_t> bitrate;  // none: no "bitrate " line, no digits, or above u32
    LinkKind kind = LinkKind::unknown;

    // Virtual links never get a bitrate; they only need to be up.
    bool is_virtual_can() const { return kind == LinkKind::vcan || kind == LinkKind::vxcan; }
};

// Parses the raw standard output of the show command. The bytes are decoded as UTF-8 first,
// with invalid sequences replaced by U+FFFD.
IpLinkDetails parse_ip_link_details(std::string_view raw_output);

}  // namespace velmot::comm::can
