/* A short tour of the library for a newcomer: build a record, read it back, sort it. */
#include <stdio.h>

#include <vornhash.h>

static void show(const Hash *h, const char *title) {
    printf("%s (%d cells)\n", title, (int)VornCountHash(h));
    for (int32_t i = 0; i < VornCountHash(h); ++i)
        printf("  %-8s = %s\n", h->keys[i][0] ? h->keys[i] : "(unnamed)",
               VornGetHashPtrSafe(h, NULL, i));
}

int main(void) {
    Hash h;
    if (!VornAllocHash(&h, 0, 16) || !VornReAllocHash(&h, 0)) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    VornSetHash(&h, "host", 0, "example.org", -1);
    VornSetHashInt(&h, "port", 0, 80, 1);
    VornSetHash(&h, "path", 0, "/index.html", -1);
    VornCatHashString(&h, "path", 0, "?lang=ja");
    VornAddHash(&h, NULL, 0, "first", -1);
    show(&h, "built in insertion order");

    printf("port as a number: %d\n", (int)VornGetHashInt(&h, "port", 0, 1));
    printf("index of \"path\": %d\n", (int)VornGetHashIndex(&h, "path"));

    VornSortHash(&h, VORN_SORT_IGNORECASE, 1, 0);
    show(&h, "sorted by value, keys travelling along");

    printf("libvornhash %s, interface %d\n", VORNHASH_VERSION_STRING, (int)VornHashVersion());
    VornFreeHash(&h);
    return 0;
}
