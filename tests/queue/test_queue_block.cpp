// The block's byte layout as another process sees it, the contents of a new
// block, and the level and channel bit rules.
#include <gtest/gtest.h>

#include <memory>

#include "queue_test_util.h"

namespace {

// Every field written through the record is found at its offset, little-endian,
// and the fields tile the block with no byte left over.
TEST(QueueBlockLayout, FieldsLieAtTheirOffsets) {
    auto block = std::make_unique<AsyncQueueBlock>();
    std::memset(block.get(), 0, sizeof(AsyncQueueBlock));
    block->lockCount = -2;
    block->clientMutex = {0x11111101, 0x11111102, 0x11111103};
    block->serverMutex = {0x22222201, 0x22222202, 0x22222203};
    block->ownerPid = 0x33333333;
    block->slot = 0x44444444;
    block->processHandle = 0x55555555;
    block->ring[0] = {0x60000000, 0x60000001, 0x60000002, 0x60000003, 0x60000004};
    block->ring[99] = {0x69900000, 0x69900001, 0x69900002, 0x69900003, 0x69900004};
    block->readIndex = 0x77777701;
    block->writeIndex = 0x77777702;
    std::uint32_t* flags[] = {&block->enableClass0, &block->enableClass2, &block->enableClass3,
                              &block->enableClass4, &block->enableClass5, &block->enableClass6};
    for (std::uint32_t i = 0; i < 6; ++i) {
        *flags[i] = 0x88888800u + i;
    }
    block->levelMask[0] = 0xA001;
    block->levelMask[254] = 0xA0FE;
    block->sourceMask[0] = 0xB001;
    block->sourceMask[254] = 0xB0FE;
    block->channelMask[0] = 0xC001;
    block->channelMask[255] = 0xC0FF;

    std::vector<unsigned char> b = BlockBytes(block.get());
    EXPECT_EQ(ReadLE32(b, 0), 0xFFFFFFFEu);
    EXPECT_EQ(ReadLE32(b, 4), 0x11111101u);
    EXPECT_EQ(ReadLE32(b, 8), 0x11111102u);
    EXPECT_EQ(ReadLE32(b, 12), 0x11111103u);
    EXPECT_EQ(ReadLE32(b, 16), 0x22222201u);
    EXPECT_EQ(ReadLE32(b, 20), 0x22222202u);
    EXPECT_EQ(ReadLE32(b, 24), 0x22222203u);
    EXPECT_EQ(ReadLE32(b, 28), 0x33333333u);
    EXPECT_EQ(ReadLE32(b, 32), 0x44444444u);
    EXPECT_EQ(ReadLE32(b, 36), 0x55555555u);
    for (std::uint32_t f = 0; f < 5; ++f) {
        EXPECT_EQ(ReadLE32(b, 40 + 4 * f), 0x60000000u + f);
        EXPECT_EQ(ReadLE32(b, 40 + 20 * 99 + 4 * f), 0x69900000u + f);
    }
    EXPECT_EQ(ReadLE32(b, 2040), 0x77777701u);
    EXPECT_EQ(ReadLE32(b, 2044), 0x77777702u);
    for (std::uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(ReadLE32(b, 2048 + 4 * i), 0x88888800u + i);
    }
    auto le16 = [&](std::size_t off) { return static_cast<unsigned>(b[off] | b[off + 1] << 8); };
    EXPECT_EQ(le16(2072), 0xA001u);
    EXPECT_EQ(le16(2580), 0xA0FEu);  // last levelMask entry ...
    EXPECT_EQ(le16(2582), 0xB001u);  // ... right before sourceMask entry 0
    EXPECT_EQ(le16(3090), 0xB0FEu);
    EXPECT_EQ(le16(3092), 0xC001u);
    EXPECT_EQ(le16(3602), 0xC0FFu);  // the block's last two bytes
    EXPECT_EQ(b.size(), 3604u);
}

// A block just created and initialised, before its creator opens a descriptor.
TEST(QueueBlockLayout, NewBlockIsZeroButLockWordAndOwner) {
    std::uint32_t pid = FakeClientPid(1);
    OsHandle mapping = OS_NO_HANDLE;
    AsyncQueueBlock* block = MapQueueBlock(pid, &mapping);
    ASSERT_NE(block, nullptr);
    std::vector<unsigned char> b = BlockBytes(block);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(b[i], 0xFF) << "byte " << i;
    }
    EXPECT_EQ(ReadLE32(b, 28), pid);
    for (std::size_t i = 4; i < QUEUE_BLOCK_SIZE; ++i) {
        if (i < 28 || i > 31) {
            ASSERT_EQ(b[i], 0) << "byte " << i;
        }
    }
    EXPECT_TRUE(OsUnmapView(block));
    EXPECT_TRUE(OsCloseHandle(mapping));
}

TEST(QueueBlockNames, PidInLowerCaseHexWithoutLeadingZeros) {
    char name[CLIENT_OBJECT_NAME_SIZE];
    FormatClientObjectName(name, 420, BLOCK_NAME_SUFFIX);
    EXPECT_STREQ(name, "X1a4KQVXI IPC Glbl Mem");
    FormatClientObjectName(name, 0xFFFFFFFFu, CLIENT_WAKE_NAME_SUFFIX);
    EXPECT_STREQ(name, "XffffffffKQ-VXI Intr Proc Event");  // the longest name fits
    FormatClientObjectName(name, 0xAB, BLOCK_LOCK_NAME_SUFFIX);
    EXPECT_STREQ(name, "XabKQVXI IPC Wait Evt");
}

TEST(QueueBitRules, LevelBit) {
    EXPECT_EQ(LevelBit(0), 0);  // position 31
    EXPECT_EQ(LevelBit(1), 0x0001);
    EXPECT_EQ(LevelBit(7), 0x0040);
    EXPECT_EQ(LevelBit(16), 0x8000);
    EXPECT_EQ(LevelBit(17), 0);
    EXPECT_EQ(LevelBit(32), 0);
    EXPECT_EQ(LevelBit(33), 0x0001);  // positions repeat every 32 levels
    EXPECT_EQ(LevelBit(48), 0x8000);
    EXPECT_EQ(LevelBit(0xFFFF), 0);  // position 30
}

TEST(QueueBitRules, ChannelBit) {
    EXPECT_EQ(ChannelBit(0), 0x0001);
    EXPECT_EQ(ChannelBit(14), 0x4000);
    EXPECT_EQ(ChannelBit(15), 0x8000);
    EXPECT_EQ(ChannelBit(16), 0);
    EXPECT_EQ(ChannelBit(20), 0);
    EXPECT_EQ(ChannelBit(33), 0x0002);
    EXPECT_EQ(ChannelBit(50), 0x4000);  // shares channel 14's bit
    EXPECT_EQ(ChannelBit(60), 0x8000);  // shares channel 15's bit
    EXPECT_EQ(ChannelBit(46), 0x4000);  // 46 mod 32 = 14
    EXPECT_EQ(ChannelBit(0xFFFF), 0);
}

}  // namespace
