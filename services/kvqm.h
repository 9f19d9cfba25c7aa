// What the queue manager kvqm keeps at most, shared with the tests that hold it to them.
#pragma once

#include "kernel/coord/queue.h"

#include <cstddef>

// A queue's message costs its size (up to 64 KB), a semaphore next to nothing: the count per
// client stops one program from taking everything, the total count and the bytes of all
// messages bound the manager's memory.
constexpr size_t DXS_QUEUES_PER_CLIENT = 64;
constexpr size_t DXS_QUEUES_IN_TOTAL = 4096;
constexpr size_t DXS_MESSAGE_BYTES_IN_TOTAL = size_t{64} << 20;
// A make past those limits is refused with the queue layer's status for lack of memory.
constexpr uint16_t DXS_NO_ROOM = DXK_USER_NO_MEMORY;
