/* A sample DLL module: checks that the test variables it needs look sane.
 *
 * Variables: "Amount" (int) must not be negative; "Account" (char) must not be empty.
 * Returns 0 when both hold, 1 when a variable is missing, 2 for a negative amount and 3 for an
 * empty account.
 */
#include <kestrel/ModuleFunction.h>

#include <string.h>

static const TestVariable* Find(const TestVariable* variables, int32_t count, const char* name, uint8_t type) {
    for (int32_t i = 0; i < count; ++i)
        if (variables[i].type == type && strncmp(variables[i].name, name, sizeof variables[i].name) == 0)
            return &variables[i];
    return NULL;
}

KESTREL_MODULE_EXPORT int32_t SampleAudit(TestVariable* variables, int32_t count) {
    const TestVariable* amount = Find(variables, count, "Amount", KESTREL_INT);
    const TestVariable* account = Find(variables, count, "Account", KESTREL_CHAR);
    if (!amount || !account)
        return 1;
    if (amount->value.intValue < 0)
        return 2;
    if (!account->value.text || account->length <= 0 || account->value.text[0] == '\0')
        return 3;
    return 0;
}
