/* Module functions the DLL test runs: each shows one way a module can behave. */
#include <kestrel/ModuleFunction.h>

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

KESTREL_MODULE_EXPORT int32_t ReturnFive(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    return 5;
}

/* Returns how often it was called while the library stayed loaded. */
static int32_t g_calls = 0;
KESTREL_MODULE_EXPORT int32_t CountCalls(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    return ++g_calls;
}

/* Returns the entry count. */
KESTREL_MODULE_EXPORT int32_t CountEntries(TestVariable* variables, int32_t count) {
    (void)variables;
    return count;
}

/* 0 when entry 0 is a "char" of length 20 holding "abc"; otherwise a code naming what is wrong. */
KESTREL_MODULE_EXPORT int32_t ReadCharBuffer(TestVariable* variables, int32_t count) {
    if (count < 1)
        return 1;
    const TestVariable* v = &variables[0];
    if (v->type != KESTREL_CHAR || v->length != 20)
        return 2;
    if (!v->value.text || strcmp(v->value.text, "abc") != 0)
        return 3;
    /* the whole buffer is there and zero after the text */
    for (int i = 3; i < 20; ++i)
        if (v->value.text[i] != 0)
            return 4;
    return 0;
}

/* Returns the values as a checksum: byte + short + int + (int)(double*100) of entries 0 to 3. */
KESTREL_MODULE_EXPORT int32_t SumNumbers(TestVariable* variables, int32_t count) {
    if (count < 4)
        return -2;
    return (int32_t)variables[0].value.byteValue + variables[1].value.shortValue + variables[2].value.intValue +
           (int32_t)(variables[3].value.doubleValue * 100.0 + 0.5);
}

/* 0 when the working directory holds the file "marker.txt". */
KESTREL_MODULE_EXPORT int32_t NeedsMarker(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    return access("marker.txt", F_OK) == 0 ? 0 : 7;
}

// The sanitizers would report the deliberate fault instead of letting it crash the runner.
#if defined(__GNUC__)
__attribute__((no_sanitize("undefined")))
#endif
KESTREL_MODULE_EXPORT int32_t
Crash(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    volatile int* volatile nowhere = NULL;
    *nowhere = 1;
    raise(SIGSEGV);
    return 0;
}

KESTREL_MODULE_EXPORT int32_t NeverReturns(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    for (;;)
        pause();
}

/* Writes into the table and its buffers: what it writes is discarded by the tool. */
KESTREL_MODULE_EXPORT int32_t Scribble(TestVariable* variables, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        memset(variables[i].name, 'X', sizeof variables[i].name);
        if (variables[i].type == KESTREL_CHAR && variables[i].value.text && variables[i].length > 0)
            memset(variables[i].value.text, 'Y', (size_t)variables[i].length);
    }
    return 0;
}

/* --- modules that attack the runner ------------------------------------------------------ */

/* The runner's reply as a module could forge it: kind "returned", result 0, no detail. */
static void ForgeReply(uint32_t detailLength, size_t detailBytes) {
    unsigned char forged[9 + 16] = {0};
    memcpy(forged + 5, &detailLength, sizeof detailLength);
    (void)!write(3, forged, 9 + (detailBytes < 16 ? detailBytes : 16));
}

KESTREL_MODULE_EXPORT int32_t ForgeThenCrash(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    ForgeReply(0, 0);
    raise(SIGKILL);
    return 0;
}

/* A reply cut short, then a clean exit. */
KESTREL_MODULE_EXPORT int32_t ForgeHalfThenExit(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    ForgeReply(12, 3);
    _exit(0);
}

/* A whole forged reply before the runner's own. */
KESTREL_MODULE_EXPORT int32_t ForgeThenReturnFive(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    ForgeReply(0, 0);
    return 5;
}

KESTREL_MODULE_EXPORT int32_t StopItself(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    raise(SIGSTOP);
    return 0;
}

/* Writes the process id of the runner (or of a child) into a file of the working folder. */
static void WritePid(const char* name, pid_t pid) {
    char text[32];
    int length = snprintf(text, sizeof text, "%d\n", (int)pid);
    FILE* file = fopen(name, "w");
    if (file) {
        fwrite(text, 1, (size_t)length, file);
        fclose(file);
    }
}

KESTREL_MODULE_EXPORT int32_t LoopAndTellPid(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    WritePid("runner.pid.tmp", getpid());
    rename("runner.pid.tmp", "runner.pid");
    for (;;)
        pause();
}

/* A child that keeps the output pipes open and stays in the runner's process group. */
KESTREL_MODULE_EXPORT int32_t ForkAndHold(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    pid_t child = fork();
    if (child == 0) {
        for (;;)
            pause();
    }
    WritePid("child.pid", child);
    return 4;
}

/* A child that leaves the process group and keeps the output pipes open. */
KESTREL_MODULE_EXPORT int32_t ForkEscapeAndHold(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    pid_t child = fork();
    if (child == 0) {
        setsid();
        for (;;)
            pause();
    }
    WritePid("child.pid", child);
    return 6;
}

/* Far more output than is kept, ending in a known tail. */
KESTREL_MODULE_EXPORT int32_t Flood(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    static char block[65536];
    memset(block, 'x', sizeof block);
    for (int i = 0; i < 256; ++i) /* 16 MiB */
        (void)!write(1, block, sizeof block);
    printf("END\n");
    fprintf(stderr, "complaint\n");
    return 0;
}

/* Ends itself by SIGTERM: blocked, it would return 0. */
KESTREL_MODULE_EXPORT int32_t TerminateItself(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    raise(SIGTERM);
    return 0;
}

/* A child that leaves the process group and writes to the output pipe without pause. */
KESTREL_MODULE_EXPORT int32_t ForkEscapeAndFlood(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    pid_t child = fork();
    if (child == 0) {
        static char block[4096];
        memset(block, 'y', sizeof block);
        setsid();
        for (;;)
            if (write(1, block, sizeof block) < 0)
                _exit(0);
    }
    WritePid("child.pid", child);
    return 7;
}
