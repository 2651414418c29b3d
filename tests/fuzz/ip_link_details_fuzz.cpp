// libFuzzer target: the parser of `ip -details link show IF` output on arbitrary bytes. Besides
// not crashing (under ASan/UBSan), the result must stay consistent with what the provisioning
// relies on: a label never holds ':' nor a line break, a link without a CAN kind is never taken
// for one, and the label describes itself exactly when it is not empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "comm/can/ip_link_details.hpp"

using velmot::comm::can::parse_ip_link_details;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view output(reinterpret_cast<const char*>(data), size);
    const auto details = parse_ip_link_details(output);
    if (details.label.find_first_of(":\n") != std::string::npos) {
        std::abort();
    }
    if (details.describes(details.label) == details.label.empty()) {
        std::abort();
    }
    if (details.describes("")) {
        std::abort();
    }
    if (details.is_virtual_can() && !details.is_can_link()) {
        std::abort();
    }
    // A name is described only by its own label or by "NAME@PEER".
    const std::string_view name =
        std::string_view(details.label).substr(0, details.label.find('@'));
    if (!name.empty() && !details.describes(name)) {
        std::abort();
    }
    return 0;
}
