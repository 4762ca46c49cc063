// The fixed-capacity buffer behind frames: it never grows past its capacity.
#include <gtest/gtest.h>

#include "serial/FrameBuffer.h"

namespace {

TEST(FrameBuffer, HoldsAtMostItsCapacityAndCopiesExactlyItsBytes) {
    FrameBuffer fb;
    EXPECT_EQ(fb.GetCapacity(), 300);
    EXPECT_EQ(fb.Init(0), FrameBuffer::FB_REFUSED);
    EXPECT_EQ(fb.Init(-3), FrameBuffer::FB_REFUSED);
    EXPECT_EQ(fb.GetCapacity(), 300);  // refused: unchanged
    ASSERT_EQ(fb.Init(3), FrameBuffer::FB_OK);
    BYTE dest[4] = {9, 9, 9, 9};
    EXPECT_EQ(fb.CopyTo(dest), FrameBuffer::FB_EMPTY);
    EXPECT_EQ(dest[0], 9);
    for (BYTE b : {1, 2, 3})
        EXPECT_EQ(fb.Append(b), FrameBuffer::FB_OK);
    EXPECT_EQ(fb.Append(4), FrameBuffer::FB_FULL);
    EXPECT_EQ(fb.GetLength(), 3);
    ASSERT_EQ(fb.CopyTo(dest), FrameBuffer::FB_OK);
    EXPECT_EQ(dest[2], 3);
    EXPECT_EQ(dest[3], 9);  // no terminating zero
    fb.Reset();
    EXPECT_EQ(fb.GetLength(), 0);
    EXPECT_EQ(fb.Data()[0], 0);
    EXPECT_EQ(fb.Append(7), FrameBuffer::FB_OK);
}

}  // namespace
