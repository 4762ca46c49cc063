// Fixed-capacity byte buffers behind the port's receive, transmit and frame
// storage. Capacity is set by Init and never grows, so a frame longer than the
// port's maximum frame length cannot be stored.
#pragma once

#include <atomic>
#include <memory>

#include "tarvik/types.h"

class FrameBuffer {
  public:
    static constexpr LONG kDefaultCapacity = 300;
    enum Result : LONG { FB_OK = 0, FB_REFUSED = 1, FB_FULL = 2, FB_EMPTY = 3 };

    FrameBuffer();
    virtual ~FrameBuffer();
    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    // New zero-filled block of `capacity` bytes, empty; below 1 is refused.
    LONG Init(LONG capacity);
    LONG Append(BYTE b);
    LONG Reset();
    LONG GetLength() const { return m_lLength; }
    LONG GetCapacity() const { return m_lCapacity; }
    const BYTE* Data() const { return m_pData.get(); }
    // Copies exactly the held bytes (no terminating zero).
    LONG CopyTo(BYTE* dest) const;

  private:
    std::unique_ptr<BYTE[]> m_pData;
    LONG m_lCapacity = 0;
    LONG m_lLength = 0;
};

// A numbered place for one finished frame. bInUse hands the slot between the
// thread that fills it and the one that fetches it (release on store, acquire
// on load), so the bytes are complete before the other side sees the flag.
class FrameSlot : public FrameBuffer {
  public:
    std::atomic<BYTE> bInUse{0};
};
