/* A C caller of the shared library, built against its header alone. */
#include <stdio.h>
#include <string.h>

#include "vorncsv.h"

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char csv[64] = "";
    char field[16];
    check(VornSetCsv(csv, (int32_t)sizeof csv, "name", 0, 0) > 0, "set name");
    check(VornSetCsv(csv, (int32_t)sizeof csv, "a, b", 0, 1) > 0, "set value");
    check(strcmp(csv, "name,\"a, b\"\r\n") == 0, "text");
    check(VornCountCsv(csv, VORNCSV_COUNT_ROWS) == 1, "rows");
    check(VornCountCsv(csv, VORNCSV_COUNT_COLUMNS) == 2, "columns");
    check(VornGetCsv(field, (int32_t)sizeof field, csv, 0, 1) == 4, "get length");
    check(strcmp(field, "a, b") == 0, "get text");
    return failures != 0;
}
