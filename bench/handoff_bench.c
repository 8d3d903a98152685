/* SPDX-License-Identifier: Apache-2.0 */
/*
 * handoff-bench: what it costs to hand control from one thread to another
 * with a mutex and a condition variable, as two threads taking turns do.
 *
 * Two threads pass a turn back and forth: each waits on the condition
 * variable until the turn is its own, takes it, hands it over and signals.
 * One hand-off is one such pass. Each figure is the median of several
 * rounds; it prints "figure: handoff_ns N". Beside it, the floor any
 * hand-off stands on: one system call that does nothing ("figure:
 * syscall_ns N"), as a hand-off makes several. Run it on the emulated device (pellix-device) and
 * under qemu-arm to compare the two; figures only, nothing here passes or fails on a time.
 *
 *   handoff-bench [HANDOFFS_PER_ROUND]
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define ROUNDS 9

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t turned = PTHREAD_COND_INITIALIZER;
static long turn;     /* whose turn: the parity of the hand-offs so far */
static long handoffs; /* hand-offs to make in this round */

static long long now_ns(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Takes every turn of parity `side` until the round's hand-offs are made. */
static void take_turns(long side)
{
    pthread_mutex_lock(&lock);
    for (;;) {
        while (turn < handoffs && turn % 2 != side)
            pthread_cond_wait(&turned, &lock);
        if (turn >= handoffs)
            break;
        ++turn;
        pthread_cond_signal(&turned);
    }
    pthread_mutex_unlock(&lock);
}

static void* other_side(void* unused)
{
    (void)unused;
    take_turns(1);
    return NULL;
}

static int compare(const void* a, const void* b)
{
    const long long x = *(const long long*)a;
    const long long y = *(const long long*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv)
{
    const long per_round = argc > 1 ? atol(argv[1]) : 2000;
    if (per_round < 2) {
        fprintf(stderr, "usage: handoff-bench [HANDOFFS_PER_ROUND (at least 2)]\n");
        return 2;
    }
    long long cost[ROUNDS];
    for (int round = 0; round < ROUNDS; ++round) {
        turn = 0;
        handoffs = per_round;
        pthread_t thread;
        const long long start = now_ns();
        if (pthread_create(&thread, NULL, other_side, NULL) != 0) {
            fprintf(stderr, "handoff-bench: cannot start a thread\n");
            return 1;
        }
        take_turns(0);
        pthread_join(thread, NULL);
        cost[round] = (now_ns() - start) / per_round;
    }
    qsort(cost, ROUNDS, sizeof cost[0], compare);
    printf("figure: handoff_ns %lld\n", cost[ROUNDS / 2]);

    for (int round = 0; round < ROUNDS; ++round) {
        const long long start = now_ns();
        for (long i = 0; i < per_round; ++i)
            syscall(SYS_getppid);
        cost[round] = (now_ns() - start) / per_round;
    }
    qsort(cost, ROUNDS, sizeof cost[0], compare);
    printf("figure: syscall_ns %lld\n", cost[ROUNDS / 2]);
    return 0;
}
