// A capture service for tests that behaves as the platform's does: its own
// notification thread, one notification at a time, a buffer filled only while
// queued, a partly filled buffer handed back at stop, a close that refuses
// while a buffer is queued. Blocks are scripted; failures can be injected.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace scripted {

// Forgets the script, the failures and the counters. No device may be open.
void Reset();

// Appends blocks to the script. A block shorter than the buffer fills it
// partly: bytes past it keep what the buffer held.
void QueueBlock(const std::vector<uint8_t>& bytes);

// Bytes that a stop writes into a queued buffer before handing it back;
// with none, the stop finds nothing recorded and hands nothing back.
void SetStopFill(const std::vector<uint8_t>& bytes);

// Sleeps before each data notification, as a busy notification thread would:
// the buffer is then back from the service but not yet with the handler.
void DelayNotifications(std::chrono::microseconds delay);

void FailOpen(bool fail);
void FailAddBuffer(bool fail);
void FailStart(bool fail);

// Waits until every scripted block has been delivered and handled, or the
// script is stuck (nothing queued to fill). False on timeout.
bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(5));

struct Counters {
    int open_devices;    // opened and not yet closed
    int opens;           // successful opens
    int closes;          // successful closes
    int close_refusals;  // closes refused because a buffer was queued
    int data_notifications;
    bool buffer_queued;
    int blocks_left;     // scripted blocks not yet delivered
};
Counters Count();

// True on the notification thread while a notification runs.
bool InsideNotification();

}
