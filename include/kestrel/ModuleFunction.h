/* Interface of a DLL module's exported function.
 *
 * A module is a shared library that exports one function of type KestrelModuleFunction. The
 * tool calls it with the address of the first entry of its test variable table and the number
 * of entries; the function returns 0 when the module ran correctly, anything else on failure.
 * Texts are GBK bytes. What the function writes into the table is discarded after the call.
 */
#ifndef KESTREL_MODULE_FUNCTION_H
#define KESTREL_MODULE_FUNCTION_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where a variable's value comes from (TestVariable.attribute): Import and Config variables
 * carry their test values; a Report variable carries its remark with the placeholders filled,
 * in a "char" buffer. */
enum KestrelVariableAttribute { KESTREL_IMPORT = 0, KESTREL_CONFIG = 1, KESTREL_REPORT = 2 };

/* The kind of a variable's value (TestVariable.type) and the member of value that holds it. */
enum KestrelVariableType {
    KESTREL_BYTE = 0,   /* value.byteValue */
    KESTREL_SHORT = 1,  /* value.shortValue */
    KESTREL_INT = 2,    /* value.intValue */
    KESTREL_DOUBLE = 3, /* value.doubleValue */
    KESTREL_CHAR = 4    /* value.text, a buffer of length bytes */
};

/* The table has room for this many entries; count never exceeds it. */
enum { KESTREL_MAX_TEST_VARIABLES = 2000 };

/* Bits of the flags word in a module file's header, for tools that read module files. A
 * module that is "测试" has TESTED; one that is "测试通过" has TESTED and PASSED. */
enum KestrelModuleFlags { KESTREL_FLAG_REQUIRED = 1, KESTREL_FLAG_TESTED = 2, KESTREL_FLAG_PASSED = 4 };

#pragma pack(push, 1)
typedef struct TestVariable {
    char name[41];     /* zero-terminated, at most 40 bytes */
    uint8_t attribute; /* KestrelVariableAttribute */
    uint8_t type;      /* KestrelVariableType */
    char reserved1[5];
    union {
        uint8_t byteValue;
        int16_t shortValue;
        int32_t intValue;
        double doubleValue;
        char* text; /* "char": a buffer of `length` bytes holding a zero-terminated text */
        unsigned char raw[8];
    } value;
    int32_t length;
    char reserved2[4];
} TestVariable;
#pragma pack(pop)

typedef int32_t (*KestrelModuleFunction)(TestVariable* variables, int32_t count);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(TestVariable) == 64, "TestVariable is 64 bytes");
static_assert(offsetof(TestVariable, attribute) == 41, "attribute at 41");
static_assert(offsetof(TestVariable, type) == 42, "type at 42");
static_assert(offsetof(TestVariable, value) == 48, "value at 48");
static_assert(offsetof(TestVariable, length) == 56, "length at 56");
#else
_Static_assert(sizeof(TestVariable) == 64, "TestVariable is 64 bytes");
_Static_assert(offsetof(TestVariable, value) == 48, "value at 48");
_Static_assert(offsetof(TestVariable, length) == 56, "length at 56");
#endif

/* Modules export their function with default visibility and C linkage, for example:
 *   KESTREL_MODULE_EXPORT int32_t RunAudit(TestVariable* variables, int32_t count);
 */
#ifdef __cplusplus
#define KESTREL_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define KESTREL_MODULE_EXPORT __attribute__((visibility("default")))
#endif

#endif
