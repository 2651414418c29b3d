// The decoded feedback record of one driver, as a feedback frame carries it.
//
// Thread-safety: plain value; copy it freely.
#pragma once

namespace velmot::comm::dr_v1 {

// The latest feedback of one driver. All zeros until the first feedback frame.
struct WatchData {
    float position = 0.0f;  // rad
    float speed = 0.0f;     // rad/s
    float current = 0.0f;   // A

    friend bool operator==(const WatchData&, const WatchData&) = default;
};

}  // namespace velmot::comm::dr_v1
