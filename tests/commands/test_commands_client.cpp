// The client commands carried out directly on the server's client table:
// registration (also repeated and after pid reuse), enable and disable of every
// class, mask indexes, unregistration, the sweep, the failure rows and the
// removal at shutdown. Blocks are checked through a mapping of their own.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "command_support.h"
#include "delivery/rthndlr.h"
#include "platform/fault.h"
#include "queue/asyncque.h"

using namespace command_test;

namespace {

constexpr std::uint32_t CODE_BASE = 0xDEAD0000u;

class ClientCommands : public testing::Test {
  protected:
    void SetUp() override {
        OsClearFaults();
        ClearClientTable();
    }
    void TearDown() override {
        OsClearFaults();
        ClearClientTable();
    }
    // Registers pid and returns its slot.
    std::uint32_t Register(std::uint32_t pid) {
        EXPECT_TRUE(CarriesOn(Send(pid, CMD_REGISTER)));
        std::vector<std::uint32_t> slots = SlotsOf(pid);
        EXPECT_EQ(slots.size(), 1u);
        return slots.empty() ? MAX_CLIENTS : slots[0];
    }
};

}  // namespace

TEST_F(ClientCommands, RegisterFillsSlotBlockProcessAndWakeEvent) {
    const std::uint32_t self = OsCurrentProcessId();
    Args args{1, 2, 3};
    EXPECT_TRUE(CarriesOn(Send(self, CMD_REGISTER, &args)));
    EXPECT_EQ(args.arg1, 1u);
    EXPECT_EQ(args.arg2, 2u);
    EXPECT_EQ(args.arg3, 3u);
    EXPECT_EQ(clientTable.clientCount, 1);
    ASSERT_NE(clientTable.clientBlocks[0], nullptr);
    ASSERT_NE(clientTable.wakeEvents[0], OS_NO_HANDLE);
    ASSERT_NE(SlotProcess(0), OS_NO_HANDLE);

    BlockView view(self);
    ASSERT_NE(view.block, nullptr);
    EXPECT_EQ(view.block->ownerPid, self);
    EXPECT_EQ(view.block->slot, 0u);
    EXPECT_EQ(view.block->processHandle, static_cast<std::uint32_t>(SlotProcess(0)));
    EXPECT_EQ(view.block->lockCount, -1);

    bool existed = false;
    OsHandle wake = OsCreateEvent(ClientObjectName(self, CLIENT_WAKE_NAME_SUFFIX).c_str(), false,
                                  false, &existed);
    EXPECT_TRUE(existed) << "wake event not under its documented name";
    OsCloseHandle(wake);

    // A second client takes the next slot.
    EXPECT_EQ(Register(FakePid(1)), 1u);
    EXPECT_EQ(clientTable.clientCount, 2);
}

TEST_F(ClientCommands, SecondRegisterFromTheSameProcessKeepsOneSlot) {
    const std::uint32_t self = OsCurrentProcessId();
    const std::uint32_t slot = Register(self);
    ASSERT_TRUE(CarriesOn(Send(self, CMD_ENABLE, CODE_BASE + 0)));
    Args args{7, 8, 9};
    EXPECT_TRUE(CarriesOn(Send(self, CMD_REGISTER, &args)));
    EXPECT_EQ(args.arg1, 7u);
    EXPECT_EQ(args.arg3, 9u);
    EXPECT_EQ(SlotsOf(self), std::vector<std::uint32_t>{slot});
    EXPECT_EQ(clientTable.clientCount, 1);
    EXPECT_EQ(clientTable.clientBlocks[slot]->enableClass0, 1u) << "the block was renewed";
}

TEST_F(ClientCommands, RegisterFromAReusedPidReplacesTheEndedClient) {
    LiveChild first;
    const std::uint32_t pid = first.pid;
    ASSERT_TRUE(CarriesOn(Send(FakePid(2), CMD_REGISTER)));  // slot 0, so the client is not first
    const std::uint32_t oldSlot = Register(pid);
    ASSERT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, CODE_BASE + 0)));
    ASSERT_EQ(first.EndAndWait(), 0);

    // A new process with the same id (as after reuse) registers before any sweep.
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_REGISTER)));
    std::vector<std::uint32_t> slots = SlotsOf(pid);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_EQ(slots[0], oldSlot) << "the freed slot is the first free one";
    EXPECT_EQ(clientTable.clientCount, 2) << "old client freed, new one counted";
    AsyncQueueBlock* block = clientTable.clientBlocks[slots[0]];
    EXPECT_EQ(block->enableClass0, 0u) << "the new client got the old client's block";
    std::uint32_t held = 0;
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        held += clientTable.clientBlocks[s] != nullptr ? 1 : 0;
    }
    EXPECT_EQ(held, 2u);
}

TEST_F(ClientCommands, EnableAndDisableFlagClasses) {
    const std::uint32_t pid = FakePid(3);
    Register(pid);
    BlockView view(pid);
    struct Row {
        std::uint32_t eventClass;
        std::size_t offset;
    };
    const Row rows[] = {
        {0, offsetof(AsyncQueueBlock, enableClass0)}, {2, offsetof(AsyncQueueBlock, enableClass2)},
        {3, offsetof(AsyncQueueBlock, enableClass3)}, {4, offsetof(AsyncQueueBlock, enableClass4)},
        {5, offsetof(AsyncQueueBlock, enableClass5)}, {6, offsetof(AsyncQueueBlock, enableClass6)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.eventClass);
        std::vector<unsigned char> before = view.Bytes();
        Args args{CODE_BASE + row.eventClass, 4, 5};
        EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, &args)));
        EXPECT_EQ(args.arg1, CODE_BASE + row.eventClass);
        std::vector<unsigned char> after = view.Bytes();
        std::uint32_t flag = 0;
        std::memcpy(&flag, after.data() + row.offset, 4);
        EXPECT_EQ(flag, 1u);
        std::memcpy(after.data() + row.offset, before.data() + row.offset, 4);
        EXPECT_EQ(after, before) << "enable changed more than its flag";

        EXPECT_TRUE(CarriesOn(Send(pid, CMD_DISABLE, CODE_BASE + row.eventClass, 4, 5)));
        EXPECT_EQ(view.Bytes(), before);
    }
}

TEST_F(ClientCommands, ClassesWithoutFlagsChangeNothing) {
    const std::uint32_t pid = FakePid(4);
    Register(pid);
    BlockView view(pid);
    const std::vector<unsigned char> before = view.Bytes();
    for (std::uint32_t arg1 :
         {CODE_BASE + 1, CODE_BASE + 10, CODE_BASE + 0x3E7, 0x1234u, CODE_BASE - 1, 0xFFFFFFFFu}) {
        for (std::uint32_t command : {CMD_ENABLE, CMD_DISABLE}) {
            Args args{arg1, 3, 50};
            EXPECT_TRUE(CarriesOn(Send(pid, command, &args))) << std::hex << arg1;
            EXPECT_EQ(args.arg1, arg1);
            EXPECT_EQ(args.arg3, 50u) << "only class 9 rewrites the channel";
        }
    }
    EXPECT_EQ(view.Bytes(), before);
}

TEST_F(ClientCommands, LevelAndSourceMasks) {
    const std::uint32_t pid = FakePid(5);
    Register(pid);
    BlockView view(pid);
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, CODE_BASE + 7, 3, 0x0105)));
    EXPECT_EQ(view.block->levelMask[3], 0x0105);
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_DISABLE, CODE_BASE + 7, 3, 0x0001)));
    EXPECT_EQ(view.block->levelMask[3], 0x0004) << "a disable also clears bits 7 to 15";

    // Only the low 16 bits of an enable count; a disable keeps bits 0 to 6 at most.
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, CODE_BASE + 8, 254, 0xABCDFF80u)));
    EXPECT_EQ(view.block->sourceMask[254], 0xFF80);
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, CODE_BASE + 8, 254, 0x0003)));
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_DISABLE, CODE_BASE + 8, 254, 0)));
    EXPECT_EQ(view.block->sourceMask[254], 0x0003);
    EXPECT_EQ(view.block->levelMask[254], 0) << "class 8 wrote the level table";
    EXPECT_EQ(view.block->sourceMask[3], 0) << "class 7 wrote the source table";
}

TEST_F(ClientCommands, ChannelMaskAndRepliedChannel) {
    const std::uint32_t pid = FakePid(6);
    Register(pid);
    BlockView view(pid);
    struct Row {
        std::uint32_t channel;
        std::uint32_t replied;
        std::uint16_t mask;  // channelMask[9] after the enable, cumulative
    };
    const Row rows[] = {{50, 14, 0x4000}, {60, 15, 0xC000}, {20, 20, 0xC000},
                        {33, 33, 0xC002}, {14, 14, 0xC002}, {0x10032u, 0x10032u, 0xC002}};
    for (const Row& row : rows) {
        Args args{CODE_BASE + 9, 9, row.channel};
        EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, &args)));
        EXPECT_EQ(args.arg3, row.replied) << row.channel;
        EXPECT_EQ(view.block->channelMask[9], row.mask) << row.channel;
    }
    Args args{CODE_BASE + 9, 9, 50};
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_DISABLE, &args)));
    EXPECT_EQ(args.arg3, 14u);
    EXPECT_EQ(view.block->channelMask[9], 0x8002);
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_DISABLE, CODE_BASE + 9, 9, 33)));
    EXPECT_EQ(view.block->channelMask[9], 0x8000);
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_ENABLE, CODE_BASE + 9, 255, 1)));
    EXPECT_EQ(view.block->channelMask[255], 0x0002) << "255 is the last channel entry";
}

TEST_F(ClientCommands, MaskIndexOutsideItsTableChangesNothing) {
    const std::uint32_t pid = FakePid(7);
    Register(pid);
    BlockView view(pid);
    const std::vector<unsigned char> before = view.Bytes();
    struct Row {
        std::uint32_t eventClass;
        std::uint32_t index;
    };
    const Row rows[] = {{7, 255},     {7, 0xFFFFFFFFu}, {8, 255},
                        {8, 0x10000}, {9, 256},         {9, 0x80000000u}};
    for (const Row& row : rows) {
        for (std::uint32_t command : {CMD_ENABLE, CMD_DISABLE}) {
            Args args{CODE_BASE + row.eventClass, row.index, 50};
            EXPECT_TRUE(CarriesOn(Send(pid, command, &args)));
            EXPECT_EQ(args.arg1, CODE_BASE + row.eventClass);
            EXPECT_EQ(args.arg2, row.index);
            EXPECT_EQ(args.arg3, 50u) << "answered as received";
        }
    }
    EXPECT_EQ(view.Bytes(), before) << "a write landed beside a mask table";
}

TEST_F(ClientCommands, CommandsFromAPidWithoutSlotFail) {
    Register(FakePid(8));
    for (std::uint32_t command : {CMD_UNREGISTER, CMD_ENABLE, CMD_DISABLE, CMD_STOP_UNREGISTER}) {
        Args args{CODE_BASE, 1, 2};
        EXPECT_TRUE(FailsWithReply(Send(FakePid(9), command, &args), EXIT_COMMAND_FAILED))
            << command;
        EXPECT_EQ(args.arg1, CODE_BASE);
        EXPECT_EQ(args.arg3, 2u);
    }
    EXPECT_EQ(clientTable.clientCount, 1);
}

TEST_F(ClientCommands, UnregisterPostsTheLastRecordThenFreesTheSlot) {
    for (std::uint32_t command : {CMD_UNREGISTER, CMD_STOP_UNREGISTER}) {
        SCOPED_TRACE(command);
        const std::uint32_t pid = FakePid(10 + command);
        const std::uint32_t slot = Register(pid);
        BlockView view(pid);  // the client's own mapping outlives the server's side
        OsHandle wake =
            OsCreateEvent(ClientObjectName(pid, CLIENT_WAKE_NAME_SUFFIX).c_str(), false, false);
        Args args{4, 5, 6};
        EXPECT_TRUE(CarriesOn(Send(pid, command, &args)));
        EXPECT_EQ(args.arg1, 4u);
        EXPECT_EQ(args.arg3, 6u);

        EXPECT_EQ(view.block->writeIndex, 1u);
        EXPECT_EQ(view.block->ring[0].code, CODE_UNREGISTERED);
        EXPECT_EQ(view.block->ring[0].arg1, 0u);
        EXPECT_EQ(view.block->ring[0].arg2, 0u);
        EXPECT_EQ(view.block->ring[0].arg3, 0u);
        EXPECT_EQ(OsWaitForObject(wake, 0), OS_WAIT_OBJECT_0) << "client not woken";
        OsCloseHandle(wake);

        EXPECT_EQ(view.block->serverMutex.name, 0u) << "server side not closed";
        EXPECT_EQ(view.block->processHandle, 0u);
        EXPECT_EQ(clientTable.clientBlocks[slot], nullptr);
        EXPECT_EQ(clientTable.wakeEvents[slot], OS_NO_HANDLE);
        EXPECT_EQ(SlotProcess(slot), OS_NO_HANDLE);
        EXPECT_EQ(SlotMapping(slot), OS_NO_HANDLE);
        EXPECT_EQ(clientTable.clientCount, 0);
    }
}

TEST_F(ClientCommands, UnregisterWithAFullRingStillFrees) {
    const std::uint32_t pid = FakePid(20);
    const std::uint32_t slot = Register(pid);
    BlockView view(pid);
    for (std::uint32_t i = 0; i < QUEUE_DEPTH - 1; ++i) {
        ASSERT_EQ(PostEvent(pid, slot, CODE_BASE + 1, i, 0, 0), 0);
    }
    EXPECT_TRUE(CarriesOn(Send(pid, CMD_UNREGISTER)));
    EXPECT_EQ(view.block->writeIndex, QUEUE_DEPTH - 1);
    EXPECT_EQ(view.block->ring[QUEUE_DEPTH - 2].arg1, QUEUE_DEPTH - 2) << "oldest kept";
    EXPECT_EQ(clientTable.clientBlocks[slot], nullptr);
    EXPECT_EQ(clientTable.clientCount, 0);
}

TEST_F(ClientCommands, SweepFreesEndedClientsOnly) {
    LiveChild a;
    LiveChild b;
    LiveChild c;
    const std::uint32_t slotA = Register(a.pid);
    const std::uint32_t slotB = Register(b.pid);
    const std::uint32_t slotC = Register(c.pid);
    Register(FakePid(21));  // no process handle: can never be swept
    ASSERT_EQ(clientTable.clientCount, 4);

    Args args{0, 0, 0};
    EXPECT_TRUE(CarriesOn(Send(0, CMD_SWEEP, &args)));
    EXPECT_EQ(args.arg1, 4u) << "nobody has ended yet";

    BlockView viewA(a.pid);
    ASSERT_EQ(a.EndAndWait(), 0);
    ASSERT_EQ(c.EndAndWait(), 0);
    args = Args{99, 98, 97};
    EXPECT_TRUE(CarriesOn(Send(12345, CMD_SWEEP, &args)));
    EXPECT_EQ(args.arg1, 2u);
    EXPECT_EQ(args.arg2, 98u);
    EXPECT_EQ(args.arg3, 97u);
    EXPECT_EQ(clientTable.clientBlocks[slotA], nullptr);
    EXPECT_EQ(clientTable.clientBlocks[slotC], nullptr);
    EXPECT_EQ(clientTable.wakeEvents[slotA], OS_NO_HANDLE);
    EXPECT_EQ(SlotProcess(slotC), OS_NO_HANDLE);
    EXPECT_NE(clientTable.clientBlocks[slotB], nullptr);
    EXPECT_EQ(viewA.block->writeIndex, 0u) << "a swept client gets no record";
    EXPECT_EQ(viewA.block->serverMutex.name, 0u);
}

TEST_F(ClientCommands, RegisterFailureRows) {
    // All 50 slots taken: the 51st fails with the count still raised.
    for (std::uint32_t i = 0; i < MAX_CLIENTS; ++i) {
        ASSERT_TRUE(CarriesOn(Send(FakePid(100 + i), CMD_REGISTER))) << i;
    }
    Args args{1, 2, 3};
    EXPECT_TRUE(FailsWithReply(Send(FakePid(200), CMD_REGISTER, &args), EXIT_COMMAND_FAILED));
    EXPECT_EQ(args.arg1, 1u);
    EXPECT_EQ(args.arg3, 3u);
    EXPECT_EQ(clientTable.clientCount, 51);
    ClearClientTable();

    // The block cannot be had.
    OsSetFault(OS_FAULT_CREATE_MAPPING, 0);
    EXPECT_TRUE(FailsWithReply(Send(FakePid(201), CMD_REGISTER), EXIT_COMMAND_FAILED));
    EXPECT_EQ(clientTable.clientBlocks[0], nullptr);
    EXPECT_EQ(clientTable.clientCount, 1);
    OsClearFaults();
    ClearClientTable();

    // No process handle: registered, but the sweep can never free it.
    OsSetFault(OS_FAULT_OPEN_PROCESS, 0);
    const std::uint32_t self = OsCurrentProcessId();
    EXPECT_TRUE(CarriesOn(Send(self, CMD_REGISTER)));
    EXPECT_EQ(SlotProcess(0), OS_NO_HANDLE);
    EXPECT_EQ(clientTable.clientBlocks[0]->processHandle, 0u);
    OsClearFaults();
    ClearClientTable();

    // The wake event cannot be created (the block's lock event is the first
    // creation): the loop ends at once without a reply, the block stays for
    // shutdown to remove.
    OsSetFault(OS_FAULT_CREATE_EVENT, 1);
    CommandOutcome o = Send(FakePid(202), CMD_REGISTER);
    EXPECT_EQ(o.exitStatus, EXIT_STARTUP_FAILED);
    EXPECT_TRUE(o.noReply);
    EXPECT_NE(clientTable.clientBlocks[0], nullptr);
    EXPECT_EQ(clientTable.wakeEvents[0], OS_NO_HANDLE);
    OsClearFaults();
    RemoveAllClients();
    EXPECT_EQ(clientTable.clientBlocks[0], nullptr);
    EXPECT_EQ(SlotMapping(0), OS_NO_HANDLE);
}

TEST_F(ClientCommands, UnregisterWhoseBlockCannotBeClosed) {
    const std::uint32_t pid = FakePid(30);
    const std::uint32_t slot = Register(pid);
    OsSetFault(OS_FAULT_UNMAP_VIEW, 0);
    EXPECT_TRUE(FailsWithReply(Send(pid, CMD_UNREGISTER), EXIT_COMMAND_FAILED));
    OsClearFaults();
    EXPECT_EQ(clientTable.clientBlocks[slot], nullptr);
    EXPECT_NE(clientTable.wakeEvents[slot], OS_NO_HANDLE) << "kept until shutdown";
    EXPECT_EQ(clientTable.clientCount, 1);
    RemoveAllClients();
    EXPECT_EQ(clientTable.wakeEvents[slot], OS_NO_HANDLE);
    // The queue's own tables still hold the half-closed slot; finish the close.
    EXPECT_EQ(CloseQueueBlock(slot, SIDE_SERVER), 0);
}

TEST_F(ClientCommands, ShutdownRemovalClosesEverythingAndPostsNothing) {
    const std::uint32_t pid = FakePid(40);
    Register(FakePid(41));
    const std::uint32_t slot = Register(pid);
    BlockView view(pid);
    RemoveAllClients();
    for (std::uint32_t s = 0; s < MAX_CLIENTS; ++s) {
        EXPECT_EQ(clientTable.clientBlocks[s], nullptr);
        EXPECT_EQ(clientTable.wakeEvents[s], OS_NO_HANDLE);
        EXPECT_EQ(SlotProcess(s), OS_NO_HANDLE);
        EXPECT_EQ(SlotMapping(s), OS_NO_HANDLE);
    }
    EXPECT_EQ(clientTable.clientCount, 2) << "removal leaves the count";
    EXPECT_EQ(view.block->writeIndex, 0u);
    EXPECT_EQ(view.block->serverMutex.name, 0u);
    EXPECT_EQ(view.block->slot, slot);
}
