// Parser of `ip -details link show IF` output.
//
// Thread-safety: pure functions on values.
#include "comm/can/ip_link_details.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "common/os/lossy_utf8.hpp"

namespace velmot::comm::can {

namespace {

using os::decode_utf8_lossy;

// Lines split at '\n', each without one trailing '\r'. Views into `text`.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool is_ascii_digit(char c) {
    return c >= '0' && c <= '9';
}

// The label of a "N: LABEL: <FLAGS> ..." header: after the index and ": ", up to the next ':'
// (interface names never hold one). Empty when the line is no such header.
std::string_view parse_label(std::string_view first_line) {
    std::size_t digits = 0;
    while (digits < first_line.size() && is_ascii_digit(first_line[digits])) {
        ++digits;
    }
    if (digits == 0 || first_line.substr(digits, 2) != ": ") {
        return {};
    }
    const std::string_view rest = first_line.substr(digits + 2);
    const std::size_t colon = rest.find(':');
    return colon == std::string_view::npos ? std::string_view{} : rest.substr(0, colon);
}

bool parse_is_up(std::string_view text) {
    const std::size_t open = text.find('<');
    if (open == std::string_view::npos) {
        return false;
    }
    const std::size_t close = text.find('>', open + 1);
    if (close == std::string_view::npos) {
        return false;
    }
    std::string_view flags = text.substr(open + 1, close - open - 1);
    while (true) {
        const std::size_t comma = flags.find(',');
        if (flags.substr(0, comma) == "UP") {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        flags.remove_prefix(comma + 1);
    }
}

// The longest run of ASCII digits at the start of `text` as a u32; none when empty or too large.
std::optional<std::uint32_t> parse_leading_u32(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && is_ascii_digit(text[digits]); ++digits) {
        value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;  // the rest of the run only makes it larger
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// Only the first line holding "bitrate " counts, even when it yields no number.
std::optional<std::uint32_t> parse_bitrate(const std::vector<std::string_view>& lines) {
    constexpr std::string_view k_key = "bitrate ";
    for (std::string_view line : lines) {
        const std::size_t at = line.find(k_key);
        if (at != std::string_view::npos) {
            return parse_leading_u32(line.substr(at + k_key.size()));
        }
    }
    return std::nullopt;
}

std::string_view trim_leading_blanks(std::string_view line) {
    const std::size_t start = line.find_first_not_of(" \t");
    return start == std::string_view::npos ? std::string_view{} : line.substr(start);
}

std::string_view first_word(std::string_view line) {
    line = trim_leading_blanks(line);
    return line.substr(0, line.find_first_of(" \t"));
}

LinkKind kind_from_word(std::string_view word) {
    if (word == "can") {
        return LinkKind::can;
    }
    if (word == "vcan") {
        return LinkKind::vcan;
    }
    if (word == "vxcan") {
        return LinkKind::vxcan;
    }
    return LinkKind::unknown;
}

// The tool prints the link kind as the first word of the line after the `link/can` line.
LinkKind parse_link_kind(const std::vector<std::string_view>& lines) {
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (first_word(lines[i]) == "link/can") {
            return kind_from_word(first_word(lines[i + 1]));
        }
    }
    return LinkKind::unknown;
}

}  // namespace

IpLinkDetails parse_ip_link_details(std::string_view raw_output) {
    const std::string text = decode_utf8_lossy(raw_output);
    const auto lines = split_lines(text);
    IpLinkDetails details;
    details.label = parse_label(lines.front());
    details.is_up = parse_is_up(text);
    details.bitrate = parse_bitrate(lines);
    details.kind = parse_link_kind(lines);
    return details;
}

bool IpLinkDetails::describes(std::string_view interface) const {
    if (interface.empty() || !label.starts_with(interface)) {
        return false;
    }
    return label.size() == interface.size() || label[interface.size()] == '@';
}

}  // namespace velmot::comm::can
