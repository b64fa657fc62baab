// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs one of comedilib's output demos (ao_waveform, ao_mmap) on an emulated board, as a user
// would under LD_PRELOAD, and checks that what it wrote comes back sample for sample: through an
// input command on the loopback channel (multi: AI14, rig: AI0), or through the loopback that
// instruction reads return (comedi_test). Both processes share one board set on the manual
// clock, so the demo fills its buffer and waits while this process moves the clock.
//
//   emu_demo_check PRELOAD DEMO BOARD [DEMO ARGS...]
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <comedilib.h>

#include "emuboard.h"
#include "timed_command.h"

namespace {

constexpr unsigned kAo = 1;
constexpr uint32_t kBuffer = 65536; // ao_waveform preloads exactly 64 KiB

std::string g_set;
pid_t g_demo = -1;

void cleanup() {
    if (g_demo > 0) {
        kill(g_demo, SIGKILL);
        waitpid(g_demo, nullptr, 0);
    }
    shm_unlink(("/vornemu-" + g_set).c_str());
    for (int slot = 0; slot < 64; ++slot) shm_unlink(("/vornemu-" + g_set + "-ring" + std::to_string(slot)).c_str());
}

int fail(const char *what) {
    fprintf(stderr, "FAIL: %s (comedi: %s, errno: %s)\n", what, comedi_strerror(comedi_errno()), strerror(errno));
    cleanup();
    return 1;
}

// The loopback code an input on ±10 V converts from the output code on ±10 V.
unsigned loop(unsigned raw) {
    double v = double(raw) / 65535 * 20.0 - 10.0;
    double s = (v + 10.0) / 20.0 * 65535 + 0.5;
    return unsigned(s);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) return 2;
    const std::string preload = argv[1], demo = argv[2], board = argv[3];
    const std::string path = "/dev/comedi-emu/" + board;
    g_set = "emu-demo-" + std::to_string(getpid());
    setenv("VORN_EMU_SHARED", g_set.c_str(), 1); // before the first call into the board library
    emu_reset();
    emu_set_clock(EMU_CLOCK_MANUAL);
    emu_set_buffer_size(kBuffer);

    g_demo = fork();
    if (g_demo == 0) {
        setenv("LD_PRELOAD", preload.c_str(), 1);
        std::vector<char *> args = {argv[2], const_cast<char *>("-f"), const_cast<char *>(path.c_str())};
        for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1); // the demos print a line per write
        execv(demo.c_str(), args.data());
        _exit(127);
    }

    // Wait for the demo: command triggered and its buffer full (it then sleeps in write or usleep).
    emu_cmd_info out;
    bool ready = false;
    for (int i = 0; i < 1000 && !ready; ++i) {
        usleep(10000);
        int status;
        if (waitpid(g_demo, &status, WNOHANG) == g_demo) {
            g_demo = -1;
            return fail("the demo ended before it was triggered");
        }
        ready = emu_current_cmd(path.c_str(), kAo, &out) == 0 && out.triggered &&
                out.samples_written * 2 - out.bytes_read == kBuffer;
    }
    if (!ready) return fail("the demo did not start its output command with a full buffer");

    comedi_t *d = comedi_open(path.c_str());
    if (!d) return fail("open");
    // The output buffer as the demo filled it, seen through a mapping of our own.
    auto *ring = static_cast<const uint16_t *>(
        mmap(nullptr, kBuffer, PROT_READ | PROT_WRITE, MAP_SHARED, comedi_fileno(d), 0));
    if (ring == MAP_FAILED) return fail("mmap");
    const unsigned n = kBuffer / 2;
    std::vector<uint16_t> wrote(ring, ring + n);
    munmap(const_cast<uint16_t *>(ring), kBuffer);
    if (std::count(wrote.begin(), wrote.end(), wrote[0]) == long(n)) return fail("the demo wrote a constant");
    const unsigned sp = out.scan_begin_arg;
    size_t bad = 0;

    if (board == "comedi_test") {
        // Instruction reads return the loopback: the last scan the timer took.
        for (unsigned k = 1; k <= n; k += 97) {
            if (emu_advance_scans(path.c_str(), k == 1 ? 1 : 97) != 0) return fail("advance");
            lsampl_t v = 0;
            if (comedi_data_read(d, 0, 0, 0, AREF_GROUND, &v) != 1) return fail("data_read");
            if (v != wrote[k - 1] && bad++ < 5) fprintf(stderr, "scan %u: loopback %u, wrote %u\n", k - 1, v, wrote[k - 1]);
        }
    } else {
        // An input command on the loopback channel, started at the output's start instant (the
        // manual clock has not moved since): its sample s converts the output's scan s.
        unsigned cl[1] = {CR_PACK(board == "multi" ? 14 : 0, 0, AREF_GROUND)};
        comedi_cmd c = timed_cmd(0, cl, 1, sp, 1000, TRIG_COUNT, n);
        if (comedi_command(d, &c) != 0) return fail("command");
        emu_cmd_info in;
        if (emu_current_cmd(path.c_str(), 0, &in) != 0 || in.start_ns != out.start_ns)
            return fail("the input did not start at the output's instant");
        std::vector<uint16_t> got;
        while (got.size() < n) {
            emu_advance_ns(uint64_t(sp) * 1024);
            uint16_t buf[4096];
            ssize_t r = read(comedi_fileno(d), buf, sizeof buf);
            if (r < 0) return fail("read");
            got.insert(got.end(), buf, buf + r / 2);
        }
        for (unsigned s = 0; s < n; ++s)
            if (got[s] != loop(wrote[s]) && bad++ < 5) fprintf(stderr, "scan %u: read %u, wrote %u\n", s, got[s], wrote[s]);
    }
    const long long scans = emu_output_scans(path.c_str(), kAo);
    comedi_close(d);
    if (bad) {
        fprintf(stderr, "FAIL: %zu samples differ\n", bad);
        cleanup();
        return 1;
    }
    int status = 0;
    const bool alive = waitpid(g_demo, &status, WNOHANG) == 0;
    cleanup();
    if (!alive) return fail("the demo stopped while its output ran");
    printf("%s on %s: %u samples came back through the loopback, %lld scans out\n", demo.c_str(), board.c_str(), n,
           scans);
    return 0;
}
