/* A C caller of the shared library using nothing but the public header: the record is a plain
 * C struct on the stack, its fields are read directly, and a wrong result ends the program with
 * a non-zero exit code naming the failed check. */
#include <stdio.h>
#include <string.h>

#include <vornhash.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

static void storage(void) {
    Hash h;
    char buf[16];
    memset(&h, 0, sizeof h);
    CHECK(VornAllocHash(&h, 2, 4) == 1);
    CHECK(h.count == 2 && h.unit == 4);
    CHECK(VornSetHash(&h, "name", -1, "tarvo", -1) == 1);
    CHECK(h.count == 3 && strcmp(h.keys[2], "name") == 0 && h.sizes[2] == 8);
    CHECK(VornGetHashIndex(&h, "name") == 2);
    CHECK(VornGetHashLength(&h, "name", 0) == 8);
    CHECK(VornSetHashInt(&h, "port", 0, -8080, 1) == 1);
    CHECK(VornGetHashInt(&h, "port", 0, 1) == -8080);
    CHECK(VornGetHash(buf, 4, &h, "name", 0, 1) == 4 && strcmp(buf, "tar") == 0);
    CHECK(strcmp(VornGetHashPtrSafe(&h, "missing", 0), "") == 0);
    CHECK(VornGetHashPtr(&h, "missing", 0) == NULL);
    CHECK(VornSetHashKey(&h, 0, "first") == 1);
    CHECK(VornCountHash(&h) == 4);
    CHECK(VornIndexIsEffective(&h, 4) == 0);
    CHECK(VornReAllocHash(&h, 1) == 1 && h.count == 1);
    CHECK(VornHashVersion() == VORNHASH_INTERFACE_VERSION && VornHashVersion() == 12);
    CHECK(VornFreeHash(&h) == 1);
    CHECK(h.count == 0 && h.keys == NULL && h.values == NULL && h.sizes == NULL);
}

static void restructuring(void) {
    Hash a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    CHECK(VornAllocHash(&a, 1, 1) == 1 && VornReAllocHash(&a, 0) == 1);
    CHECK(VornAllocHash(&b, 1, 1) == 1 && VornReAllocHash(&b, 0) == 1);
    CHECK(VornSetHash(&a, "b", 0, "2", -1) == 1);
    CHECK(VornSetHash(&a, "a", 0, "1", -1) == 1);
    CHECK(VornSetHash(&b, "b", 0, "9", -1) == 1);
    CHECK(VornSetHash(&b, "c", 0, "3", -1) == 1);
    CHECK(VornUnitingHash(&b, &a) == 1);
    CHECK(b.count == 3 && strcmp(b.keys[2], "a") == 0 && strcmp(b.values[0], "2") == 0);
    CHECK(VornSortHash(&b, VORN_SORT_IGNORECASE, 1, 1) == 3);
    CHECK(strcmp(b.keys[0], "c") == 0 && strcmp(b.keys[2], "a") == 0);
    CHECK(VornCatHashString(&b, "c", 0, "45") == 1 && strcmp(b.values[0], "345") == 0);
    CHECK(VornAddHash(&b, NULL, 0, "new", -1) == 1 && b.count == 4 && b.keys[0][0] == '\0');
    CHECK(VornDeleteHash(&b, "b", 0) == 1 && b.count == 3);
    CHECK(VornCopyHash(&a, &b) == 1 && a.count == 3 && strcmp(a.values[1], "345") == 0);
    CHECK(VornMoveHashArray(&a, 3, &b, 0, -1, 1) == 1 && a.count == 6);
    CHECK(VornCopyHashCell(&b, "x", 0, &a, "c", 0) == 1 && b.sizes[3] == 7);
    b.values[0][0] = '\0';
    CHECK(VornDeleteEmptyHash(&b) == 1 && b.count == 3);
    CHECK(VornFreeHash(&a) == 1 && VornFreeHash(&b) == 1);
}

static void utilities(void) {
    Hash h;
    char buf[64] = "";
    char seq[] = "CCCAGGUAAUACUAACAGGCC";
    char t[] = "a-b-c";
    VornSystemTime st = {2009, 3, 4, 5, 14, 7, 9, 0};
    memset(&h, 0, sizeof h);
    CHECK(VornAllocHash(&h, 0, 4) == 1);
    CHECK(VornCsvToHash(&h, "k,\"v,1\"\r\nx,y") == 1 && h.count == 2);
    CHECK(VornHashToCsv(buf, (int32_t)sizeof buf, &h) == 14 &&
          strcmp(buf, "k,\"v,1\"\r\nx,y\r\n") == 0);
    CHECK(VornReplaceString(t, (int32_t)sizeof t, "-", "--", 0) == 7 && strcmp(t, "a--b-") == 0);
    VornReplaceCharacter(t, 'a', 'A', 0);
    VornReverseString(t, 1);
    CHECK(strcmp(t, "-b--A") == 0);
    CHECK(VornRandom() >= 0);
    CHECK(VornSystemTimeFmt(buf, (int32_t)sizeof buf, "%Y/%m/%d %H:%M:%S", &st) == 1 &&
          strcmp(buf, "2009/03/05 14:07:09") == 0);
    CHECK(VornDNAComplementary(buf, "atgcN", (int32_t)sizeof buf, 1) == 5 &&
          strcmp(buf, "TACGN") == 0);
    CHECK(VornCompareMonoNucleotide('A', 'R', 0) == 0 &&
          VornComparePolyNucleotide("ACGT", "ACCT", 4, 0) == 1);
    CHECK(VornmRNASplicing(seq) == 8 && strcmp(seq, "CCCAGGCC") == 0);
    VornFreeHash(&h);
}

static void formats(void) {
    Hash h;
    char out[128];
    char url[64] = "a b/\xE9";
    memset(&h, 0, sizeof h);
    CHECK(VornAllocHash(&h, 0, 8) == 1);
    CHECK(VornEnvToHash(&h, "x=1\0y=22\0") == 1 && h.count == 2);
    CHECK(VornHashToEnv(out, (int32_t)sizeof out, &h) == 10 &&
          memcmp(out, "x=1\0y=22\0\0", 10) == 0);
    CHECK(VornNoteToHash(&h, "k1\r\nv1\r\nk2\nv2", 1) == 1 && h.count == 2);
    CHECK(VornHashToNote(out, (int32_t)sizeof out, &h, 1) == 16);
    CHECK(VornGetLineLength("ab\r\ncd") == 4);
    CHECK(VornHttpHeaderToHash(&h, "Host: a\r\nX-A:b\r\n") == 1 && h.count == 2);
    CHECK(VornHashToHttpHeader(out, (uint32_t)sizeof out, &h) == 17);
    CHECK(VornExpandHash(out, (int32_t)sizeof out, "[%Host%]", &h, 0) == 3 &&
          strcmp(out, "[a]") == 0);
    CHECK(VornEncodeUrl(url, (int32_t)sizeof url, url) == 9 && strcmp(url, "a+b%2f%e9") == 0);
    CHECK(VornDecodeUrl(url, (int32_t)sizeof url, url) == 5 && strcmp(url, "a b/\xE9") == 0);
    CHECK(VornQueryStringToHash(&h, "q=a+b&n=%31&flag&", 0) == 1 && h.count == 3);
    CHECK(VornHashToQueryString(out, (int32_t)sizeof out, &h, 0) == 15 &&
          strcmp(out, "q=a+b&n=1&flag=") == 0);
    VornFreeHash(&h);
}

int main(void) {
    storage();
    formats();
    restructuring();
    utilities();
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    return 0;
}
