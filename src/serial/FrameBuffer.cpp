#include "serial/FrameBuffer.h"

#include <cstring>

FrameBuffer::FrameBuffer()
    : m_pData(new BYTE[kDefaultCapacity]()), m_lCapacity(kDefaultCapacity), m_lLength(0) {}

FrameBuffer::~FrameBuffer() = default;

LONG FrameBuffer::Init(LONG capacity) {
    if (capacity < 1)
        return FB_REFUSED;
    m_pData.reset(new BYTE[static_cast<size_t>(capacity)]());
    m_lCapacity = capacity;
    m_lLength = 0;
    return FB_OK;
}

LONG FrameBuffer::Append(BYTE b) {
    if (m_lLength >= m_lCapacity)
        return FB_FULL;
    m_pData[static_cast<size_t>(m_lLength++)] = b;
    return FB_OK;
}

LONG FrameBuffer::Reset() {
    std::memset(m_pData.get(), 0, static_cast<size_t>(m_lCapacity));
    m_lLength = 0;
    return FB_OK;
}

LONG FrameBuffer::CopyTo(BYTE* dest) const {
    if (m_lLength == 0)
        return FB_EMPTY;
    std::memcpy(dest, m_pData.get(), static_cast<size_t>(m_lLength));
    return FB_OK;
}
