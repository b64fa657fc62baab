// SPDX-License-Identifier: LGPL-2.1-or-later
/* taskpin: print a process's CPU affinity mask, apply a new one, print what is in force then.
 *
 *   taskpin <pid> <cpu_mask>
 *
 * The mask is hexadecimal (bit n is CPU n, CPUs 0 to 63); at most its first 8 characters count.
 * Exit status: 0 when the new mask was applied and both reads succeeded; 1 when a read or the
 * change failed (the lines are printed all the same, and the reason follows on standard error);
 * 255 for a wrong command line. */
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

/* The kernel is always handed the full 128-byte set; only the first word is ours. */
#define CPU_SET_BYTES 128

_Static_assert(sizeof(cpu_set_t) == CPU_SET_BYTES, "cpu_set_t is expected to be 128 bytes");
_Static_assert(sizeof(unsigned long) == 8, "the mask is one 64-bit word");

/* The all-ones failure value of a read cannot be told from a real mask, so the exit status needs
 * the read's own error: the first one is kept here (0 while every read succeeded). */
static int read_errno;

int set_cpu_affinity(pid_t pid, unsigned long mask)
{
    cpu_set_t cpu_mask;

    memset(&cpu_mask, 0, CPU_SET_BYTES);
    memcpy(&cpu_mask, &mask, sizeof mask);
    return sched_setaffinity(pid, CPU_SET_BYTES, &cpu_mask);
}

/* All ones after a failure: the message on standard error is what tells it from a real mask. */
unsigned long get_cpu_affinity(pid_t pid)
{
    cpu_set_t cpu_mask;
    unsigned long mask;
    int ret;

    ret = sched_getaffinity(pid, CPU_SET_BYTES, &cpu_mask);
    if (ret != 0) {
        if (read_errno == 0) {
            read_errno = errno;
        }
        fprintf(stderr, "Error getting CPU affinity: %d\n", ret);
        return 0xffffffffffffffffUL;
    }
    memcpy(&mask, &cpu_mask, sizeof mask);
    return mask;
}

int main(int argc, char *argv[])
{
    pid_t pid;
    unsigned long new_mask;
    unsigned long cur_mask;
    int ret;
    int set_errno = 0;

    if (argc != 3) {
        printf("usage: %s [pid] [cpu_mask]\n", argv[0]);
        printf("exit status: 0 when the mask was applied and read back, 1 when a read or the change failed,"
               " 255 for a wrong command line\n");
        return -1;
    }

    pid = (pid_t)atol(argv[1]);
    /* Text with no hexadecimal digit leaves new_mask unset; applying it would pin the process to
     * whatever the stack held. */
    if (sscanf(argv[2], "%08lx", &new_mask) != 1) {
        fprintf(stderr, "Invalid cpu_mask \"%s\": no hexadecimal number\n", argv[2]);
        return -1;
    }

    cur_mask = get_cpu_affinity(pid);
    printf("pid %d's old affinity: %08lx\n", pid, cur_mask);

    ret = set_cpu_affinity(pid, new_mask);
    if (ret != 0) {
        set_errno = errno;
        printf("Error setting CPU affinity: %d\n", ret);
    }

    cur_mask = get_cpu_affinity(pid);
    printf("pid %d's new affinity: %08lx\n", pid, cur_mask);

    /* Only a script's exit status tells it the change did not take: the lines above read the same. */
    if (set_errno != 0) {
        fprintf(stderr, "taskpin: the mask was not applied to pid %d: %s\n", pid, strerror(set_errno));
        return 1;
    }
    if (read_errno != 0) {
        fprintf(stderr, "taskpin: the affinity of pid %d could not be read: %s\n", pid, strerror(read_errno));
        return 1;
    }
    return 0;
}
