#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "udp/BatchSend.h"
#include "udp/CompletedSends.h"
#include "udp/PendingReplies.h"
#include "udp/WaitingSends.h"

// The send side's state: outcomes of sends the system took, waiting to be
// logged; copies of sends that wait for room, bounded by `copyLimit`;
// whether runs may go as segmented sends; and the replies held until their
// batch of deliveries is over.
class SendPath {
public:
    explicit SendPath(std::size_t copyLimit) : waiting(copyLimit) {}

    CompletedSends completed;                    // any thread
    WaitingSends waiting;                        // any thread
    SegmentationOffload segmentation;            // any thread
    std::vector<CompletedSends::Outcome> toLog;  // worker thread only
    PendingReplies replies;                      // worker thread only
    // Lines rebuilt in place so they keep their capacity; worker thread only.
    std::string sentLine;
    std::string replyLine;
};
