// SPDX-License-Identifier: LGPL-2.1-or-later
// taskpin run as a user runs it: a real process to pin, the real affinity calls, its two output
// streams and its exit status. The machine's CPU count is not assumed: every expectation is derived
// from the CPUs the test process may use, and what the kernel accepts is asked of the kernel.
//
// Where ptrace is available the run is also traced, so that the mask taskpin hands to
// sched_setaffinity is seen exactly, not only through what the kernel made of it (on a machine
// with two CPUs, 0xffffffff and 0xffffffffff both leave 00000003 in force).
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string kTaskpin = TASKPIN_PATH;
constexpr unsigned long kAllOnes = 0xffffffffffffffffUL;

// The 128-byte set taskpin uses, read the same way: first word only.
bool readAffinity(pid_t pid, unsigned long *mask)
{
    cpu_set_t set;
    if (sched_getaffinity(pid, sizeof set, &set) != 0) {
        return false;
    }
    memcpy(mask, &set, sizeof *mask);
    return true;
}

unsigned long affinityOf(pid_t pid)
{
    unsigned long mask = 0;
    EXPECT_TRUE(readAffinity(pid, &mask)) << "sched_getaffinity(" << pid << "): " << strerror(errno);
    return mask;
}

bool applyAffinity(pid_t pid, unsigned long mask)
{
    cpu_set_t set;
    memset(&set, 0, sizeof set);
    memcpy(&set, &mask, sizeof mask);
    return sched_setaffinity(pid, sizeof set, &set) == 0;
}

std::string hex08(unsigned long mask)
{
    char text[32];
    snprintf(text, sizeof text, "%08lx", mask);
    return text;
}

// The mask as taskpin's argument: hexadecimal, no padding.
std::string hexArgument(unsigned long mask)
{
    char text[32];
    snprintf(text, sizeof text, "%lx", mask);
    return text;
}

int popcount(unsigned long mask)
{
    return __builtin_popcountl(mask);
}

// A process to pin: it sleeps until killed.
class Sleeper {
public:
    Sleeper()
    {
        pid_ = fork();
        if (pid_ == 0) {
            for (;;) {
                pause();
            }
        }
    }
    ~Sleeper()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// What Linux does with a mask for a process like the sleeper: a fresh process with the same
// starting affinity is given the mask directly.
struct KernelOutcome {
    bool accepted;
    int refusal; // errno of a refused change
    unsigned long inForce;
};

KernelOutcome kernelOutcome(unsigned long mask)
{
    Sleeper probe;
    const bool accepted = applyAffinity(probe.pid(), mask);
    const int refusal = accepted ? 0 : errno;
    return {accepted, refusal, affinityOf(probe.pid())};
}

struct SetCall {
    unsigned long pid;
    unsigned long size;
    std::vector<unsigned long> words; // the set as the kernel received it, 64-bit words
};

struct TaskpinRun {
    int status = -1;
    std::string out;
    std::string err;
    bool traced = false;
    std::vector<SetCall> setCalls;
};

std::string drain(int fd)
{
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return text;
}

// Follows the traced child to its end, noting every sched_setaffinity it asks for.
void traceSyscalls(pid_t child, TaskpinRun *run)
{
    int status;
    if (waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) { // the stop at exec
        run->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return;
    }
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int deliver = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, child, nullptr, deliver) != 0) {
            ADD_FAILURE() << "PTRACE_SYSCALL: " << strerror(errno);
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return;
        }
        deliver = 0;
        if (waitpid(child, &status, 0) != child) {
            return;
        }
        if (WIFEXITED(status)) {
            run->status = WEXITSTATUS(status);
            return;
        }
        if (WIFSIGNALED(status)) {
            run->status = 128 + WTERMSIG(status);
            return;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            deliver = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
            continue;
        }
        struct __ptrace_syscall_info info;
        memset(&info, 0, sizeof info);
        if (ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0
            || info.op != PTRACE_SYSCALL_INFO_ENTRY || info.entry.nr != SYS_sched_setaffinity) {
            continue;
        }
        SetCall call;
        call.pid = info.entry.args[0];
        call.size = info.entry.args[1];
        const size_t words = call.size / sizeof(unsigned long) > 16 ? 16 : call.size / sizeof(unsigned long);
        for (size_t k = 0; k < words; ++k) {
            errno = 0;
            const long word = ptrace(PTRACE_PEEKDATA, child, info.entry.args[2] + k * sizeof(long), nullptr);
            if (errno != 0) {
                break;
            }
            call.words.push_back(static_cast<unsigned long>(word));
        }
        run->setCalls.push_back(call);
    }
}

// Runs taskpin with `args` after the program name; argument vector entry 0 is the binary's path.
TaskpinRun runTaskpin(const std::vector<std::string> &args, bool trace = true)
{
    TaskpinRun run;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return run;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(kTaskpin.c_str()));
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]), close(out[1]), close(err[0]), close(err[1]);
        if (trace) {
            // LeakSanitizer ptraces the process at exit, which a traced process cannot allow.
            std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
            setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
            if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
                _exit(99);
            }
        }
        execv(argv[0], argv.data());
        _exit(98);
    }
    close(out[1]);
    close(err[1]);
    if (trace) {
        traceSyscalls(child, &run);
        run.traced = true;
    } else {
        int status = 0;
        waitpid(child, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Everything taskpin writes fits into the pipes, so reading after its end cannot block it.
    run.out = drain(out[0]);
    run.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    return run;
}

bool ptraceWorks()
{
    static const int works = [] {
        const pid_t child = fork();
        if (child == 0) {
            _exit(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return works;
}

TaskpinRun runTaskpinTraced(const std::vector<std::string> &args)
{
    return runTaskpin(args, ptraceWorks());
}

std::string oldLine(const std::string &pid, unsigned long mask)
{
    return "pid " + pid + "'s old affinity: " + hex08(mask) + "\n";
}

std::string newLine(const std::string &pid, unsigned long mask)
{
    return "pid " + pid + "'s new affinity: " + hex08(mask) + "\n";
}

const std::string kSetError = "Error setting CPU affinity: -1\n";
const std::string kGetError = "Error getting CPU affinity: -1\n";

// The reason a failed run adds on standard error, after the lines it always printed.
std::string notApplied(const std::string &pid, int error)
{
    return "taskpin: the mask was not applied to pid " + pid + ": " + strerror(error) + "\n";
}

// Checks the single change taskpin asked the kernel for: `mask` in word 0 of a cleared 128-byte set.
void expectOneSetCall(const TaskpinRun &run, long pid, unsigned long mask)
{
    if (!run.traced) {
        return;
    }
    ASSERT_EQ(run.setCalls.size(), 1u);
    const SetCall &call = run.setCalls[0];
    EXPECT_EQ(static_cast<long>(call.pid), pid);
    EXPECT_EQ(call.size, 128u);
    ASSERT_EQ(call.words.size(), 16u);
    EXPECT_EQ(call.words[0], mask) << std::hex << "asked for " << call.words[0] << ", expected " << mask;
    for (size_t k = 1; k < call.words.size(); ++k) {
        EXPECT_EQ(call.words[k], 0u) << "word " << k;
    }
}

// taskpin given `text` for a sleeping process must apply `parsed`, with the outcome Linux gives.
void expectMaskApplied(const std::string &text, unsigned long parsed)
{
    Sleeper target;
    const std::string pid = std::to_string(target.pid());
    const unsigned long before = affinityOf(target.pid());
    const KernelOutcome kernel = kernelOutcome(parsed);

    const TaskpinRun run = runTaskpinTraced({pid, text});

    EXPECT_EQ(run.status, kernel.accepted ? 0 : 1);
    EXPECT_EQ(run.err, kernel.accepted ? "" : notApplied(pid, kernel.refusal));
    if (kernel.accepted) {
        EXPECT_EQ(run.out, oldLine(pid, before) + newLine(pid, kernel.inForce));
        EXPECT_EQ(affinityOf(target.pid()), kernel.inForce);
    } else {
        EXPECT_EQ(run.out, oldLine(pid, before) + kSetError + newLine(pid, before));
        EXPECT_EQ(affinityOf(target.pid()), before);
    }
    expectOneSetCall(run, target.pid(), parsed);
}

// taskpin given `mask` for a sleeping process that may use `before`: `after` in force, refused or not.
void expectMaskOutcome(unsigned long mask, unsigned long before, unsigned long after, bool refused)
{
    Sleeper target;
    const std::string pid = std::to_string(target.pid());
    const TaskpinRun run = runTaskpinTraced({pid, hexArgument(mask)});

    EXPECT_EQ(run.status, refused ? 1 : 0);
    EXPECT_EQ(run.out, oldLine(pid, before) + (refused ? kSetError : "") + newLine(pid, after));
    EXPECT_EQ(run.err, refused ? notApplied(pid, EINVAL) : "");
    EXPECT_EQ(affinityOf(target.pid()), after);
    expectOneSetCall(run, target.pid(), mask);
}

// The usage line as it always was, then what the exit status means.
std::string usageText()
{
    return "usage: " + kTaskpin + " [pid] [cpu_mask]\n"
           "exit status: 0 when the mask was applied and read back, 1 when a read or the change failed, 255 for a"
           " wrong command line\n";
}

class Taskpin : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(kTaskpin.empty()) << "the taskpin target is not built";
        ASSERT_EQ(access(kTaskpin.c_str(), X_OK), 0) << kTaskpin << ": " << strerror(errno);
        ASSERT_TRUE(readAffinity(0, &allowed_));
        ASSERT_NE(allowed_, 0u);
    }
    unsigned long allowed_ = 0; // CPUs the test process, and so every child, may use
};

/* A pid with the wrong number of arguments after it: the usage line, and the target untouched. */
class TaskpinUsage : public Taskpin, public ::testing::WithParamInterface<std::vector<std::string>> {
};

TEST_P(TaskpinUsage, PrintsOnlyTheUsageLine)
{
    Sleeper target;
    std::vector<std::string> args = {std::to_string(target.pid())};
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    const TaskpinRun run = runTaskpinTraced(args);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, usageText());
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.setCalls.empty());
    EXPECT_EQ(affinityOf(target.pid()), allowed_);
}

INSTANTIATE_TEST_SUITE_P(ArgumentCounts, TaskpinUsage,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"1", "1"}),
                         [](const ::testing::TestParamInfo<std::vector<std::string>> &info) {
                             return info.param.empty() ? std::string("OneArgument") : std::string("ThreeArguments");
                         });

TEST_F(Taskpin, NoArgumentsPrintOnlyTheUsageLine)
{
    const TaskpinRun run = runTaskpin({}, false);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, usageText());
    EXPECT_EQ(run.err, "");
}

TEST_F(Taskpin, MaskNarrowsTheAllowedSet)
{
    if (popcount(allowed_) < 2) {
        GTEST_SKIP() << "only one CPU allowed (" << hex08(allowed_) << "): nothing to narrow";
    }
    // Drop the lowest allowed CPU, so that the result is neither the old set nor CPU 0 alone.
    const unsigned long narrowed = allowed_ & (allowed_ - 1);
    expectMaskOutcome(narrowed, allowed_, narrowed, false);
}

TEST_F(Taskpin, MaskIsReadAsHexadecimal)
{
    // Bit 4 is CPU 4 (not CPU 3 or 15): a machine with fewer CPUs refuses it, one with more takes it.
    if (popcount(allowed_) >= 2) {
        const unsigned long low = allowed_ & -allowed_;
        const unsigned long high = allowed_ & ~low;
        expectMaskApplied(hexArgument(high & -high), high & -high);
    }
    expectMaskApplied("10", 0x10);
}

TEST_F(Taskpin, MaskTakesThe0xPrefixInEitherCase)
{
    expectMaskApplied("0x10", 0x10);
    expectMaskApplied("0X1f", 0x1f);
    expectMaskApplied("0x1F", 0x1f);
}

TEST_F(Taskpin, MaskTakesAtMostEightCharacters)
{
    expectMaskApplied("ffffffffff", 0xffffffffUL);
    // 0x12345678 has neither CPU 0 nor CPU 1; 0x123456789 would have CPU 0.
    expectMaskApplied("123456789", 0x12345678UL);
    // The prefix counts towards the eight: 0x and six digits.
    expectMaskApplied("0x123456789", 0x123456UL);
}

TEST_F(Taskpin, MinusOneSelectsAllSixtyFourCpus)
{
    expectMaskApplied("-1", kAllOnes);
    // Every CPU the process could use before stays in force.
    Sleeper target;
    ASSERT_EQ(runTaskpin({std::to_string(target.pid()), "-1"}, false).status, 0);
    EXPECT_EQ(affinityOf(target.pid()) & allowed_, allowed_);
}

TEST_F(Taskpin, ZeroMaskIsRefusedAndNothingChanges)
{
    Sleeper target;
    const std::string pid = std::to_string(target.pid());
    if (popcount(allowed_) >= 2) {
        // Start from a set other than the inherited one, to see that the refusal keeps it.
        ASSERT_TRUE(applyAffinity(target.pid(), allowed_ & -allowed_));
    }
    const unsigned long before = affinityOf(target.pid());

    const TaskpinRun run = runTaskpinTraced({pid, "0"});

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, oldLine(pid, before) + kSetError + newLine(pid, before));
    EXPECT_EQ(run.err, notApplied(pid, EINVAL));
    EXPECT_EQ(affinityOf(target.pid()), before);
    expectOneSetCall(run, target.pid(), 0);
}

TEST_F(Taskpin, MaskOfCpusThatDoNotExistIsRefused)
{
    // CPUs are numbered from 0, so the CPU numbered by the count of configured CPUs does not exist.
    const long configured = sysconf(_SC_NPROCESSORS_CONF);
    ASSERT_GT(configured, 0);
    if (configured > 31) {
        GTEST_SKIP() << configured << " CPUs: eight hex digits name no CPU beyond them";
    }
    const unsigned long missing = 1UL << configured;
    expectMaskOutcome(missing, allowed_, allowed_, true);
}

TEST_F(Taskpin, ProcessThatDoesNotExist)
{
    // A child that has been waited for leaves its process ID unused.
    const pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    ASSERT_EQ(kill(gone, 0), -1);
    ASSERT_EQ(errno, ESRCH);
    const std::string pid = std::to_string(gone);

    const TaskpinRun run = runTaskpinTraced({pid, "1"});

    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kGetError + kGetError + notApplied(pid, ESRCH));
    EXPECT_EQ(run.out, oldLine(pid, kAllOnes) + kSetError + newLine(pid, kAllOnes));
    EXPECT_EQ(oldLine(pid, kAllOnes), "pid " + pid + "'s old affinity: ffffffffffffffff\n");
    expectOneSetCall(run, gone, 1);
}

TEST_F(Taskpin, ProcessIdThatIsNotANumberMeansTheToolItself)
{
    // The mask taskpin sets on itself: one CPU fewer where there are two or more.
    const unsigned long mask = popcount(allowed_) >= 2 ? allowed_ & (allowed_ - 1) : allowed_;
    const std::string text = hexArgument(mask);
    for (const char *pidText : {"abc", "0", ""}) {
        SCOPED_TRACE(std::string("process ID text \"") + pidText + "\"");
        const TaskpinRun run = runTaskpinTraced({pidText, text});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, oldLine("0", allowed_) + newLine("0", mask));
        EXPECT_EQ(run.err, "");
        expectOneSetCall(run, 0, mask);
        // Only taskpin itself was pinned.
        EXPECT_EQ(affinityOf(0), allowed_);
    }
}

TEST_F(Taskpin, MaskWithoutHexDigitsIsRefusedAndNothingChanges)
{
    Sleeper target;
    const std::string pid = std::to_string(target.pid());
    const unsigned long before = affinityOf(target.pid());
    for (const char *text : {"xyz", "", "   ", "-", "+", "g1"}) {
        SCOPED_TRACE(std::string("mask text \"") + text + "\"");
        const TaskpinRun run = runTaskpinTraced({pid, text});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, std::string("Invalid cpu_mask \"") + text + "\": no hexadecimal number\n");
        EXPECT_TRUE(run.setCalls.empty());
        EXPECT_EQ(affinityOf(target.pid()), before);
    }
}

TEST_F(Taskpin, TracingSeesTheChange)
{
    // Guards the observation the other tests lean on: where ptrace works, a change is seen.
    if (!ptraceWorks()) {
        GTEST_SKIP() << "ptrace is not permitted here; masks are checked through their effect only";
    }
    Sleeper target;
    const TaskpinRun run = runTaskpin({std::to_string(target.pid()), "1"}, true);
    EXPECT_TRUE(run.traced);
    EXPECT_EQ(run.status, 0);
    expectOneSetCall(run, target.pid(), 1);
}

} // namespace
