/* Module functions for the property sheet's test runs. */
#include <kestrel/ModuleFunction.h>

#include <unistd.h>

/* Runs until its process is ended: the test's cancel has to stop it. */
KESTREL_MODULE_EXPORT int32_t WaitForever(TestVariable* variables, int32_t count) {
    (void)variables;
    (void)count;
    for (;;)
        sleep(1);
    return 0;
}

/* Returns the entry count, so a test sees which rows reached the module. */
KESTREL_MODULE_EXPORT int32_t EntryCount(TestVariable* variables, int32_t count) {
    (void)variables;
    return count == 2 ? 0 : 100 + count;
}
