/* Uses the installed library, including the CSV library it loads from beside itself. */
#include <stdio.h>
#include <string.h>

#include <vornhash.h>

int main(void) {
    Hash h;
    char out[64] = "";
    int ok;
    if (!VornAllocHash(&h, 0, 8)) return 1;
    ok = VornHashVersion() == VORNHASH_INTERFACE_VERSION &&
         VornCsvToHash(&h, "host,example.org\r\nport,80\r\n") == 1 && h.count == 2 &&
         VornHashToEnv(out, (int32_t)sizeof out, &h) == 26 && strcmp(out, "host=example.org") == 0;
    VornFreeHash(&h);
    puts(ok ? "installed library works" : "installed library misbehaves");
    return ok ? 0 : 1;
}
