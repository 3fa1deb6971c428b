// Message windows: the stand-in for hidden windows, registered messages and PostWindowMessage.
//
// Every thread has its own message queue, created on first use. A window is a handle owned by the
// thread that created it, with a handler that runs on that thread when the thread pumps its
// queue. PostWindowMessage works from any thread; it fails (returns false) when the window is gone,
// and the poster then still owns whatever it posted. A window may name a drop function: it is
// called for every message posted to the window that will never be handled (the window is destroyed
// with messages queued, or its thread ends), so that nothing posted leaks. The dropper may run on
// any thread (the one destroying the window, or the owner while it pumps).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/wake_event.h"

namespace linvo::platform {

using WindowHandle = std::uintptr_t;  // 0 is no window
using WParam = std::uintptr_t;
using LParam = std::intptr_t;

// Handles one message; the result is what a SendMessage would return.
using MessageHandler = std::function<std::intptr_t(uint32_t msg, WParam w, LParam l)>;
// Releases what an unhandled message carries.
using MessageDropper = std::function<void(uint32_t msg, WParam w, LParam l)>;

constexpr uint32_t kWmApp = 0x8000;

// A message number unique to the name within the process (0xC000..0xFFFF, the same number for
// the same name, compared case-insensitively as the Windows registration does). 0 for an empty name
// or when the range is used up.
uint32_t RegisterNamedMessage(std::string_view name);

// Creates a window owned by the calling thread. Never returns 0. Throws std::system_error when the
// thread's queue cannot be created (no descriptor for it). A window created by a destructor
// running at the end of the thread, after its queue is gone, gets a handle no post reaches.
WindowHandle CreateMessageWindow(std::string_view name, MessageHandler handler,
                                 MessageDropper dropper = nullptr);

// Destroys the window; its queued messages go to its dropper. Any thread may call it. Returns
// false when the handle names no window.
bool DestroyMessageWindow(WindowHandle window);

bool IsMessageWindow(WindowHandle window);

// Queues the message for the window's thread. False when the window does not exist, its thread
// has ended, or its queue already holds 10000 messages (the Windows per-queue quota).
bool PostWindowMessage(WindowHandle window, uint32_t msg, WParam w, LParam l);

// Handles the calling thread's queued messages. Waits up to timeoutMs (negative: without limit)
// for the first one when the queue is empty, then handles every message queued at that moment.
// Returns the number of messages handled (messages for windows destroyed meanwhile go to their
// droppers and are not counted). Messages posted while it runs, also by the handlers it calls,
// are left for the next pump, so a handler that re-posts to itself cannot keep a pump going.
// Handlers may pump re-entrantly. If a handler throws, the messages not yet handled stay queued.
int PumpMessages(int timeoutMs);

// A descriptor that is readable while the calling thread's queue holds messages, so that a host
// can fold the queue into its own poll/epoll loop and call PumpMessages(0) when it fires. It
// belongs to the thread and stays valid until the thread ends (-1 in destructors that run after
// the thread's queue is gone).
NativeWaitHandle MessageQueueFd();

}  // namespace linvo::platform
