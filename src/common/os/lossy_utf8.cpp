// Lossy UTF-8 decoding (maximal-subpart replacement).
//
// Thread-safety: pure function.
#include "common/os/lossy_utf8.hpp"

#include <cstddef>

namespace velmot::os {

namespace {

constexpr std::string_view k_replacement = "\xEF\xBF\xBD";

// What a lead byte announces: the sequence length and the range allowed for the second byte
// (which is what excludes overlong forms, surrogates and code points above U+10FFFF).
struct Lead {
    std::size_t length;
    unsigned char second_low;
    unsigned char second_high;
};

// length 0 marks a byte that can never start a sequence.
Lead classify(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (byte == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (byte == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (byte >= 0xE1 && byte <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (byte == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (byte >= 0xF1 && byte <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (byte == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// Length of the well-formed prefix of the sequence starting at `start` (a non-ASCII byte); the
// sequence is complete when this equals the lead's length. At least 1 is always consumed.
std::size_t valid_prefix(std::string_view bytes, std::size_t start, const Lead& lead) {
    if (lead.length == 0) {
        return 1;
    }
    std::size_t at = start + 1;
    if (at >= bytes.size() ||
        !in_range(static_cast<unsigned char>(bytes[at]), lead.second_low, lead.second_high)) {
        return 1;
    }
    ++at;
    while (at - start < lead.length && at < bytes.size() &&
           in_range(static_cast<unsigned char>(bytes[at]), 0x80, 0xBF)) {
        ++at;
    }
    return at - start;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            text.push_back(static_cast<char>(byte));
            ++at;
            continue;
        }
        const Lead lead = classify(byte);
        const std::size_t taken = valid_prefix(bytes, at, lead);
        if (taken == lead.length) {
            text.append(bytes.substr(at, taken));
        } else {
            text.append(k_replacement);
        }
        at += taken;
    }
    return text;
}

}  // namespace velmot::os
