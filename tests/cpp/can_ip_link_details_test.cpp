// Parser of `ip -details link show` output: the samples of the real tool and crafted edge cases
// (flag list, first "bitrate " line only, u32 range, CRLF, invalid UTF-8), which link the output
// is about, and the lossy decoder.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "comm/can/ip_link_details.hpp"
#include "common/os/lossy_utf8.hpp"

namespace velmot::comm::can {
namespace {

struct DetailsCase {
    const char* name;  // sample file name, or a label for crafted text
    std::string text;  // crafted text; empty: read the sample file
    bool is_up;
    std::optional<std::uint32_t> bitrate;
    LinkKind kind;
};

void PrintTo(const DetailsCase& c, std::ostream* os) {
    *os << c.name;
}

std::string read_sample(const std::string& name) {
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "fixtures" /
                      "ip-details" / name;
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << "cannot open " << path;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

class IpLinkDetailsParse : public ::testing::TestWithParam<DetailsCase> {};

TEST_P(IpLinkDetailsParse, ReadsUpBitrateAndKind) {
    const auto& c = GetParam();
    const auto details = parse_ip_link_details(c.text.empty() ? read_sample(c.name) : c.text);
    EXPECT_EQ(details.is_up, c.is_up);
    EXPECT_EQ(details.bitrate, c.bitrate);
    EXPECT_EQ(details.kind, c.kind);
}

constexpr auto none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Samples, IpLinkDetailsParse,
    ::testing::Values(DetailsCase{"can-up-1000000.txt", "", true, 1000000, LinkKind::can},
                      DetailsCase{"can-up-500000.txt", "", true, 500000, LinkKind::can},
                      DetailsCase{"can-down-1000000.txt", "", false, 1000000, LinkKind::can},
                      DetailsCase{"can-down-unconfigured.txt", "", false, none, LinkKind::can},
                      // The data bitrate line comes later and is never looked at.
                      DetailsCase{"canfd-up-1000000.txt", "", true, 1000000, LinkKind::can},
                      DetailsCase{"vcan-up.txt", "", true, none, LinkKind::vcan},
                      DetailsCase{"vcan-down.txt", "", false, none, LinkKind::vcan},
                      DetailsCase{"vxcan-up.txt", "", true, none, LinkKind::vxcan},
                      DetailsCase{"loopback-up.txt", "", true, none, LinkKind::unknown},
                      DetailsCase{"ether-up.txt", "", true, none, LinkKind::unknown},
                      DetailsCase{"show-up-filter.txt", "", true, none, LinkKind::unknown}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

INSTANTIATE_TEST_SUITE_P(
    Crafted, IpLinkDetailsParse,
    ::testing::Values(
        DetailsCase{"lower_up_only", "3: can0: <NOARP,LOWER_UP> mtu 16", false, none,
                    LinkKind::unknown},
        DetailsCase{"no_less_than", "3: can0: NOARP,UP mtu 16", false, none, LinkKind::unknown},
        DetailsCase{"no_greater_than_after", "3: x> can0: <NOARP,UP mtu", false, none,
                    LinkKind::unknown},
        DetailsCase{"greater_than_before_list", "x> <UP>", true, none, LinkKind::unknown},
        DetailsCase{"only_first_list", "<NOARP> <UP>", false, none, LinkKind::unknown},
        DetailsCase{"lower_case_up", "<noarp,up>", false, none, LinkKind::unknown},
        DetailsCase{"padded_up", "<NOARP, UP>", false, none, LinkKind::unknown},
        DetailsCase{"sole_up", "<UP>", true, none, LinkKind::unknown},
        DetailsCase{"first_bitrate_line_without_digits", "a bitrate x\n  bitrate 1000000\n", false,
                    none, LinkKind::unknown},
        DetailsCase{"bitrate_at_line_end", "  bitrate \n  bitrate 1000000\n", false, none,
                    LinkKind::unknown},
        DetailsCase{"u32_max", "bitrate 4294967295", false, 4294967295u, LinkKind::unknown},
        DetailsCase{"u32_overflow", "bitrate 4294967296", false, none, LinkKind::unknown},
        DetailsCase{"long_digit_run", "bitrate 00000000000000000000001000000", false, 1000000,
                    LinkKind::unknown},
        DetailsCase{"huge_digit_run", "bitrate 99999999999999999999999999", false, none,
                    LinkKind::unknown},
        DetailsCase{"digits_then_text", "bitrate 125000kbit", false, 125000, LinkKind::unknown},
        DetailsCase{"no_space", "bitrate1000000\n\t  bitrate: 1000000\n", false, none,
                    LinkKind::unknown},
        DetailsCase{"crlf_lines",
                    "3: can0: <UP>\r\n    link/can\r\n    vcan numtxqueues 1\r\n\tbitrate 5\r\n",
                    true, 5, LinkKind::vcan},
        DetailsCase{"kind_after_link_line_only", "    can state\n    link/can \n    vxcan\n", false,
                    none, LinkKind::vxcan},
        DetailsCase{"other_kind", "    link/can \n    slcan x\n", false, none, LinkKind::unknown},
        DetailsCase{"link_line_last", "<UP>\n    link/can ", true, none, LinkKind::unknown},
        // Invalid bytes become U+FFFD and never swallow the ASCII after them.
        DetailsCase{"truncated_sequence_before_comma", "<NOARP,\xE2\x82,UP>", true, none,
                    LinkKind::unknown},
        DetailsCase{"invalid_byte_inside_flag", "<U\xFFP>", false, none, LinkKind::unknown},
        DetailsCase{"overlong_digit", "bitrate \xC0\xB1", false, none, LinkKind::unknown},
        DetailsCase{"invalid_before_digits",
                    "bitrate \xF0\x9F"
                    "1000000",
                    false, none, LinkKind::unknown},
        DetailsCase{"invalid_after_digits",
                    "bitrate 1\xB0"
                    "000",
                    false, 1, LinkKind::unknown}),
    [](const auto& info) { return std::string(info.param.name); });

struct LinkCase {
    const char* sample;  // sample file name; null: `text`
    std::string text;
    std::string interface;  // the name given to the show command
    bool describes;
};

void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << (c.sample ? c.sample : c.text) << " / " << c.interface;
}

class IpLinkDetailsLink : public ::testing::TestWithParam<LinkCase> {};

TEST_P(IpLinkDetailsLink, DescribesOnlyTheNamedLinkItself) {
    const auto& c = GetParam();
    EXPECT_EQ(
        parse_ip_link_details(c.sample ? read_sample(c.sample) : c.text).describes(c.interface),
        c.describes);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, IpLinkDetailsLink,
    ::testing::Values(
        LinkCase{"can-up-1000000.txt", "", "can0", true},
        LinkCase{"can-up-1000000.txt", "", "can", false},  // a prefix names another link
        LinkCase{"vxcan-up.txt", "", "vxcan0", true},      // "vxcan0@vxcan1:"
        LinkCase{"vxcan-up.txt", "", "vxcan1", false},     // the peer is another link
        LinkCase{"loopback-up.txt", "", "lo", true}, LinkCase{"ether-up.txt", "", "eth0", true},
        LinkCase{"show-up-filter.txt", "", "up", false},  // `up` filters: lo comes first
        LinkCase{nullptr, "", "can0", false},
        LinkCase{nullptr, "    link/can \n    can state\n", "can0", false},
        LinkCase{nullptr, "3: a@b@c: <UP>\r\n", "a@b", true}));  // names may hold '@'

struct Utf8Case {
    std::string bytes;
    std::string text;
};

class IpLinkLossyUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(IpLinkLossyUtf8, ReplacesEachMaximalIllFormedSubpart) {
    EXPECT_EQ(os::decode_utf8_lossy(GetParam().bytes), GetParam().text);
}

const std::string fffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Sequences, IpLinkLossyUtf8,
    ::testing::Values(Utf8Case{"plain", "plain"},
                      Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                               "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                      Utf8Case{"\xC0\xAF", fffd + fffd},                        // overlong
                      Utf8Case{"\xE0\x80\xAF", fffd + fffd + fffd},             // overlong, 3 bytes
                      Utf8Case{"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
                      Utf8Case{"a\xE2\x82", "a" + fffd},  // truncated at the end
                      Utf8Case{"\xF0\x9F\x98"
                               "A",
                               fffd + "A"},               // truncated before ASCII
                      Utf8Case{"\x80\xBF", fffd + fffd},  // lone continuations
                      Utf8Case{"\xF8\x88\x80\x80\x80", fffd + fffd + fffd + fffd + fffd}));

}  // namespace
}  // namespace velmot::comm::can
