// SPDX-License-Identifier: LGPL-2.1-or-later
// One board set shared by processes that ask for it (VORN_EMU_SHARED), tested with a second
// process (emu_shared_peer); and one process that does not ask, which keeps its own board.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "emu_test_support.h"

using namespace emutest;

namespace {

std::string g_set;  // this run's board set, unique so that parallel runs never meet
std::string g_peer; // path of emu_shared_peer

struct Peer {
    pid_t pid = -1;
    FILE *out = nullptr;
    std::string line() {
        char buf[256];
        if (!out || !fgets(buf, sizeof buf, out)) return "<eof>";
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    int finish() {
        if (out) fclose(out);
        out = nullptr;
        int status = 0;
        if (pid > 0) waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
};

// Starts the peer with `args`; on the shared set unless `shared` is false.
Peer spawn(std::vector<std::string> args, bool shared = true) {
    int fds[2];
    Peer p;
    if (pipe(fds) != 0) return p;
    p.pid = fork();
    if (p.pid == 0) {
        dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        if (!shared) unsetenv("VORN_EMU_SHARED");
        std::vector<char *> argv = {const_cast<char *>(g_peer.c_str())};
        for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(g_peer.c_str(), argv.data());
        _exit(127);
    }
    ::close(fds[1]);
    p.out = fdopen(fds[0], "r");
    return p;
}

std::string run(std::vector<std::string> args, bool shared = true) {
    Peer p = spawn(std::move(args), shared);
    std::string l = p.line();
    int status = p.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << l;
    return l;
}

class EmuShared : public Emu {};

TEST_F(EmuShared, AnOutputWrittenByOneProcessIsReadBackByTheOther) {
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(comedi_data_write(d, 1, 0, 0, AREF_GROUND, 1234), 1);
    EXPECT_EQ(run({"read-ao", "0"}), "1234");
    EXPECT_EQ(run({"write-ao", "1", "4321"}), "ok");
    lsampl_t v = 0;
    ASSERT_EQ(comedi_data_read(d, 1, 1, 0, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, 4321u);
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_MULTI, 1), 4321);
}

TEST_F(EmuShared, AProcessThatDoesNotAskKeepsABoardOfItsOwn) {
    const long long before = emu_ao_raw(EMU_BOARD_MULTI, 0);
    EXPECT_EQ(run({"write-ao", "0", "777"}, false), "ok");
    EXPECT_EQ(emu_ao_raw(EMU_BOARD_MULTI, 0), before);
    EXPECT_NE(run({"read-ao", "0"}, false), "777"); // a fresh private board each time
    Peer holder = spawn({"hold"}, false);
    ASSERT_EQ(holder.line(), "running");
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    kill(holder.pid, SIGKILL);
    holder.finish();
}

TEST_F(EmuShared, ACommandOfAnotherProcessIsBusyHereUntilThatProcessIsKilled) {
    emu_set_clock(EMU_CLOCK_MANUAL);
    Peer holder = spawn({"hold"});
    ASSERT_EQ(holder.line(), "running");
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    const int flags = comedi_get_subdevice_flags(d, 0);
    EXPECT_EQ(flags & (SDF_BUSY | SDF_RUNNING | SDF_BUSY_OWNER), SDF_BUSY | SDF_RUNNING);
    unsigned cl[1] = {CR_PACK(0, 0, 0)};
    comedi_cmd c = timed_cmd(0, cl, 1, 1000000, 1000, TRIG_COUNT, 2);
    EXPECT_EQ(comedi_command(d, &c), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    lsampl_t v = 0;
    EXPECT_EQ(comedi_data_read(d, 0, 0, 0, AREF_GROUND, &v), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_cancel(d, 0), -1); // not this file's command
    EXPECT_EQ(comedi_errno(), EBUSY);
    EXPECT_EQ(comedi_lock(d, 2), -1);
    EXPECT_EQ(comedi_errno(), EBUSY);

    // SIGKILL: nothing of the peer runs again, its command and lock must not outlive it.
    ASSERT_EQ(kill(holder.pid, SIGKILL), 0);
    int status = holder.finish();
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(emu_subdevice_busy(EMU_BOARD_MULTI, 0), 0);
    EXPECT_EQ(comedi_get_subdevice_flags(d, 0) & SDF_BUSY, 0);
    ASSERT_EQ(comedi_command(d, &c), 0);
    ASSERT_EQ(emu_advance_scans(EMU_BOARD_MULTI, 2), 0);
    EXPECT_EQ(comedi_get_buffer_contents(d, 0), 4);
    EXPECT_EQ(comedi_lock(d, 2), 0);
    EXPECT_EQ(comedi_unlock(d, 2), 0);
}

TEST_F(EmuShared, AProcessKilledWhileItHoldsTheBoardLockDoesNotBlockTheOthers) {
    Peer waiter = spawn({"wait-long"}); // holds the lock for seconds
    ASSERT_EQ(waiter.line(), "waiting");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(kill(waiter.pid, SIGKILL), 0);
    int status = waiter.finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << "the peer finished its list before it was killed";
    comedi_t *d = open(EMU_BOARD_MULTI);
    ASSERT_NE(d, nullptr);
    lsampl_t v = 0;
    EXPECT_EQ(comedi_data_read(d, 0, 1, 0, AREF_GROUND, &v), 1);
    EXPECT_EQ(v, adc(1.0, -10, 10, 65535));
}

// An object under the set's name that is not a set: empty (its creator died before sizing it),
// too small (made by hand), or full size but never set up. The process says so and keeps a
// board of its own; before, the first two killed it with SIGBUS.
TEST_F(EmuShared, AnUnusableSetIsRefusedAndTheProcessKeepsItsOwnBoard) {
    struct Case {
        off_t size;
        const char *says;
    } cases[] = {{0, "holds 0 bytes"}, {100, "holds 100 bytes"}, {16 << 20, "not set up by this build"}};
    for (const Case &c : cases) {
        const std::string name = g_set + "-bad" + std::to_string(c.size);
        const std::string obj = "/vornemu-" + name;
        int fd = shm_open(obj.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        ::close(fd);
        const std::string cmd = "VORN_EMU_SHARED=" + name + " " + g_peer + " write-ao 0 777 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (fgets(buf, sizeof buf, p)) out += buf;
        const int status = pclose(p);
        shm_unlink(obj.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.size << ": " << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_NE(out.find("this process keeps its own"), std::string::npos) << out;
        EXPECT_NE(out.find("ok\n"), std::string::npos) << out;
    }
    EXPECT_NE(emu_ao_raw(EMU_BOARD_MULTI, 0), 777); // the peer's write stayed on its own board
}

} // namespace

int main(int argc, char **argv) {
    // Before the first call into the board library, which reads the variable once.
    g_set = "emu-shared-test-" + std::to_string(getpid());
    setenv("VORN_EMU_SHARED", g_set.c_str(), 1);
    std::string self = argv[0];
    g_peer = self.substr(0, self.rfind('/') + 1) + "emu_shared_peer";
    ::testing::InitGoogleTest(&argc, argv);
    int r = RUN_ALL_TESTS();
    shm_unlink(("/vornemu-" + g_set).c_str());
    for (int slot = 0; slot < 32; ++slot) shm_unlink(("/vornemu-" + g_set + "-ring" + std::to_string(slot)).c_str());
    return r;
}
