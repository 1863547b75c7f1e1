/*
 * vornhash: an insertion-ordered associative array of byte buffers under text keys, with
 * conversions to and from text formats, string and nucleotide utilities.
 *
 * General contract, holding for every function below unless its own comment says otherwise:
 *
 *  - Texts are NUL-terminated byte strings (UTF-8 by convention, never required). Lengths,
 *    sizes, indexes, flags and results are int32_t; sizes count bytes.
 *  - Results: 1 means success and 0 failure; lookups give -1 when nothing is found;
 *    conversions give a length.
 *  - A null record pointer, a null pointer where a text or buffer is read or written, and a
 *    size below the documented minimum give the function's failure result; no function
 *    crashes on them. A null key keeps its documented meaning: address the cell by index.
 *  - Memory: the caller owns the Hash record itself (global, local or member). The library
 *    owns the three arrays and every key and value buffer the record points to, from
 *    VornAllocHash until VornFreeHash. Callers may read keys[i] and values[i] and may write
 *    within sizes[i] bytes of values[i], but must never free, reallocate or replace the arrays
 *    or buffers themselves, nor write to keys[i]. The arrays carry hidden bookkeeping (spare
 *    capacity, an index of the keys, and blocks from which small keys and values are carved),
 *    so a record must not be copied by value with both copies used afterwards: copy records
 *    with VornCopyHash. Each key and value is still a buffer of its own, of the documented
 *    size; value buffers start on an 8-byte boundary.
 *  - Cost: looking a key up takes constant time on average however the record was built;
 *    appending a cell takes amortised constant time; VornSortHash takes n log n comparisons.
 *    Operations that shift or reorder cells (delete, insert, sort with keys, moves) make the
 *    next lookup rebuild the index in linear time.
 *  - A failed allocation leaves the record valid and usable with the contents it had before
 *    the failing step, and leaks nothing. Functions that work in several steps (say, copying
 *    many cells) keep the steps already done; each function says which.
 *  - No function keeps global state about records; a record may be used by one thread at a
 *    time, different records by different threads at once.
 *
 * Addressing. Most functions take a key and an index side by side.
 *  - Reading rule (reading, deleting): a non-null key is looked up (the first cell whose key
 *    is byte-equal wins) and the index argument is ignored; so a non-null empty key finds the
 *    first unnamed cell. A key not found, or an index outside 0..count-1, is a failure.
 *  - Writing rule (VornSetHash and the functions built on it): a non-null, non-empty key is
 *    looked up and, when absent, a new last cell with that key is appended. A null or empty
 *    key uses the index: a negative index appends an unnamed cell, an index at or past the
 *    end grows the record to index + 1 cells (new cells unnamed and zero-filled).
 *
 * Value buffers. A cell's value buffer always holds at least one byte more than the bytes last
 * written into it: writing n bytes sizes it to unit * (n / unit + 1) bytes, zero-filled beyond
 * what was written when it grew. When a shorter write leaves the size unchanged, the bytes after
 * the new data are those of the earlier value.
 */
#ifndef VORNHASH_H
#define VORNHASH_H

#include <stdint.h>

#include "vornhash_version.h"

#if defined(VORNHASH_BUILDING)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The record every function takes. Fields are read directly by callers; see the general
 * contract above for who owns what. A record is unusable until VornAllocHash succeeds on it. */
/* clang-format off */
typedef struct Hash {
    int32_t count;   /* number of cells */
    int32_t unit;    /* allocation unit of value buffers in bytes; at least 1 */
    char **keys;     /* count keys; "" for an unnamed cell */
    char **values;   /* count value buffers */
    int32_t *sizes;  /* count allocated sizes of the value buffers */
} Hash;
/* clang-format on */

/* ---------------------------------------------------------------------------------------------
 * Storage, lookup and interface version
 * ------------------------------------------------------------------------------------------- */

/* Makes hash a fresh record of count cells (count <= 0 gives 1) whose value buffers hold unit
 * bytes each (unit <= 0 gives 1); every cell has the empty key and a zero-filled value.
 * The record's previous contents are overwritten without being freed: pass only a record that
 * is not live. Result 1, or 0 (null hash, no memory, or count * unit beyond int32) with the
 * record zeroed: count 0 and null arrays, safe to pass to VornFreeHash. */
VORN_API int32_t VornAllocHash(Hash *hash, int32_t count, int32_t unit);

/* Frees every key and value buffer and the three arrays, and zeroes the record's fields
 * (count 0, null arrays), so that a second VornFreeHash is harmless. Result 1, or 0 for a null
 * hash. After it, only VornAllocHash may be applied to the record. */
VORN_API int32_t VornFreeHash(Hash *hash);

/* Sets the number of cells to newCount (0 allowed). Shrinking frees the last cells; growing
 * appends unnamed cells with zero-filled unit-byte values; existing cells are unchanged.
 * Result 1, or 0 (null hash, negative newCount, no memory) with the record unchanged. */
VORN_API int32_t VornReAllocHash(Hash *hash, int32_t newCount);

/* Index of the first cell whose key is byte-equal to key, or -1 (also for a null hash or key). */
VORN_API int32_t VornGetHashIndex(const Hash *hash, const char *key);

/* 1 when 0 <= index < count, else 0 (also for a null hash). */
VORN_API int32_t VornIndexIsEffective(const Hash *hash, int32_t index);

/* The record's count, or 0 for a null hash. */
VORN_API int32_t VornCountHash(const Hash *hash);

/* Allocated size of the addressed cell's value buffer (reading rule), or 0. This is the
 * buffer size, not the length of the text it holds. */
VORN_API int32_t VornGetHashLength(const Hash *hash, const char *key, int32_t index);

/* Renames cell index (0 <= index < count) to key (null key: the empty key). Duplicate keys are
 * allowed; lookups find the lowest index. Result 1, or 0 (null hash, index outside the record,
 * no memory) with the cell unchanged. */
VORN_API int32_t VornSetHashKey(Hash *hash, int32_t index, const char *key);

/* Writes a cell chosen by the writing rule. length < 0: data is a text stored with its
 * terminator (null data then fails); length >= 0: length raw bytes of data. Null data with
 * length >= 0 only sizes the buffer for length bytes, keeping its leading content. The buffer
 * becomes unit * (length / unit + 1) bytes. Result 1, or 0 (null hash, bad arguments, a size
 * beyond int32, no memory) with the record unchanged. */
VORN_API int32_t VornSetHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length);

/* Stores value as decimal text (asText non-zero) or as four raw little-endian bytes (asText 0),
 * by the writing rule. Result as VornSetHash. */
VORN_API int32_t VornSetHashInt(Hash *hash, const char *key, int32_t index, int32_t value,
                                int32_t asText);

/* Pointer to the addressed cell's value buffer (reading rule), or null. The caller may read and
 * write within VornGetHashLength bytes; the pointer is valid until the next call that writes,
 * resizes, moves or frees that cell. */
VORN_API char *VornGetHashPtr(const Hash *hash, const char *key, int32_t index);

/* As VornGetHashPtr, but a pointer to a static empty text instead of null. Never write through
 * the result when the cell was not found. */
VORN_API char *VornGetHashPtrSafe(const Hash *hash, const char *key, int32_t index);

/* Copies the addressed cell's value (reading rule) into buffer of bufferSize bytes
 * (bufferSize >= 1). asText non-zero: at most n - 1 characters and a terminator, with n the
 * smaller of bufferSize and the value's buffer size; the result is the delivered text's length
 * plus 1. asText 0: n raw bytes; the result is n. Result 0 when the cell is not found or an
 * argument is invalid, with buffer untouched. */
VORN_API int32_t VornGetHash(char *buffer, int32_t bufferSize, const Hash *hash, const char *key,
                             int32_t index, int32_t asText);

/* The addressed cell's value as an integer (reading rule), or 0 when it is not found.
 * asText non-zero: an optional sign and the leading decimal digits of the text (none: 0;
 * wraps like 32-bit arithmetic on overflow). asText 0: the first min(4, size) bytes of the
 * buffer read as a little-endian unsigned number, zero-extended, then taken as int32; it never
 * reads past the buffer's size. */
VORN_API int32_t VornGetHashInt(const Hash *hash, const char *key, int32_t index, int32_t asText);

/* The interface version, VORNHASH_INTERFACE_VERSION (12). */
VORN_API int32_t VornHashVersion(void);

/* ---------------------------------------------------------------------------------------------
 * Restructuring
 * ------------------------------------------------------------------------------------------- */

/* Flags for VornSortHash's compareFlags; others are accepted and ignored. */
#define VORN_SORT_IGNORECASE 0x1    /* compare with ASCII case folded */
#define VORN_SORT_IGNORESYMBOLS 0x4 /* skip ASCII punctuation and spaces */

/* Sorts the cells by their values as texts, stably: without VORN_SORT_IGNORECASE, texts are
 * compared case-folded first (ASCII letters only, folded to lower case, then unsigned bytes),
 * then the first case difference breaks the tie with lower case first ("a" < "A" < "b"). A value
 * is read up to its first NUL, never past its buffer. descending non-zero reverses the order
 * (equal values still keep their relative order). moveKeys non-zero carries each key with its
 * value; moveKeys 0 keeps the keys in place and lets the sorted values pass under them.
 * Result: count (0 for a null hash). Never fails: without scratch memory it sorts in place,
 * more slowly. */
VORN_API int32_t VornSortHash(Hash *hash, int32_t compareFlags, int32_t moveKeys,
                              int32_t descending);

/* Deletes the addressed cell (reading rule); later cells move down by one. Result 1, or 0 when
 * not found (nothing changes). Never fails for want of memory. */
VORN_API int32_t VornDeleteHash(Hash *hash, const char *key, int32_t index);

/* Deletes every cell whose value starts with a zero byte, named or not. Result 1, 0 for a null
 * hash. Never fails for want of memory. */
VORN_API int32_t VornDeleteEmptyHash(Hash *hash);

/* Writes the whole value buffer of a source cell (reading rule on source) as raw data into a
 * target cell (writing rule on target, so the target buffer becomes one unit larger than the
 * data). The source cell's key is not copied. target and source must be distinct records.
 * Result as VornSetHash, or 0 when the source cell is not found. */
VORN_API int32_t VornCopyHashCell(Hash *target, const char *targetKey, int32_t targetIndex,
                                  const Hash *source, const char *sourceKey, int32_t sourceIndex);

/* Makes the live record target hold the same keys and value bytes as source, in the same order;
 * target keeps its own unit. The records must be distinct. Result 1, or 0 with target unchanged
 * when memory runs out. */
VORN_API int32_t VornCopyHash(Hash *target, const Hash *source);

/* Appends text to the value of a cell. A key that is not found creates a new cell of that key
 * holding text; otherwise the found cell (or, for a null key, cell index by the writing rule) is
 * extended. Result 1, or 0 with the record unchanged. */
VORN_API int32_t VornCatHashString(Hash *hash, const char *key, int32_t index, const char *text);

/* Merges source into target cell by cell, in order: each named source cell overwrites the
 * target cell with the same key or is appended under it; every unnamed source cell appends an
 * unnamed cell holding the value of source's first unnamed cell. Among duplicate source keys
 * the first supplies the value. The records must be distinct. Result 1, or 0 when memory runs
 * out: the cells merged before the failure stay merged. */
VORN_API int32_t VornUnitingHash(Hash *target, const Hash *source);

/* Transfers n cells from source[sourceIndex] on to target[targetIndex] on. n < 0 or n larger
 * than what source holds from sourceIndex means all of them; sourceIndex must be a valid index
 * (or equal count with nothing to move) and targetIndex must not be negative.
 *  - Different records: a copy; each value as VornCopyHashCell writes it, target growing as
 *    needed; with withKeys non-zero the keys are copied too, otherwise target keeps its keys.
 *    On failure the cells copied so far stay.
 *  - The same record: a move. The record grows to targetIndex + n cells when needed, then the
 *    run is moved as by memmove. Values (and keys, with withKeys) of the moved run land at
 *    targetIndex on; each cell of the source range that the target range does not cover is left
 *    empty: a zero-filled value of unit bytes and, with withKeys, the empty key (without
 *    withKeys it keeps its key). Every buffer stays owned by exactly one cell; the buffers the
 *    run overwrote are freed. On failure nothing has changed.
 * Result 1 or 0. */
VORN_API int32_t VornMoveHashArray(Hash *target, int32_t targetIndex, Hash *source,
                                   int32_t sourceIndex, int32_t n, int32_t withKeys);

/* Inserts a cell. With a key found at index i, or with a null key and an index i with
 * 0 <= i < count, cells i.. move up by one with their keys and the new cell is written at i:
 * named key when a key was given, otherwise unnamed. Otherwise the data is written as VornSetHash
 * writes it: a key not found or a negative index appends a cell, an index at or past the end
 * grows the record to index + 1 cells. data and length as VornSetHash. Result 1, or 0 with the
 * record unchanged. */
VORN_API int32_t VornAddHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length);

/* ---------------------------------------------------------------------------------------------
 * Key=value blocks, line lists, header lists and expansion
 *
 * The readers (VornEnvToHash, VornNoteToHash, VornHttpHeaderToHash) replace the contents of a
 * live record: they empty it, then store each entry in order. A name that occurs again keeps
 * the position of its first cell and takes the later value. An entry with an empty name is
 * appended as a new unnamed cell (it never overwrites an existing cell). Values are stored as
 * texts with their terminator. On failure (no memory) the result is 0; when the failure comes
 * before the record was emptied the record is untouched, otherwise it holds the entries stored
 * before the failing one. Texts longer than INT32_MAX - 1 bytes are rejected with 0, untouched.
 * The text may be a value of the record being filled: it is copied before the record is emptied.
 *
 * The writers never fail for want of memory and need none: they write whole entries in index
 * order and stop at the first one that does not fit, without trying later ones. A value is
 * written as text, up to its first zero byte or the end of its buffer.
 * ------------------------------------------------------------------------------------------- */

/* Writes hash as a block of "key=value" strings, each ended by a NUL, the block ended by one
 * more NUL, into out of size bytes (size >= 1). An entry needs klen + vlen + 2 bytes, and the
 * block's closing NUL must still fit after it. An empty record, or one whose first cell does not
 * fit, gives the single closing NUL. Result: bytes used, the closing NUL included (at least 1),
 * or 0 for invalid arguments with out untouched. */
VORN_API int32_t VornHashToEnv(char *out, int32_t size, const Hash *hash);

/* Fills hash from a block of "name=value" strings each ended by a NUL, the block ended by an
 * empty string (two NULs in a row, or a block that starts with NUL). Only the first "=" splits;
 * a string without "=" is a name with the empty value; "=value" is an unnamed entry. A block
 * that VornHashToEnv wrote reads back to the same cells, when keys hold no "=" and are unique.
 * Result 1, or 0 (see above). */
VORN_API int32_t VornEnvToHash(Hash *hash, const char *block);

/* Writes each cell as a line list into out of size bytes: with withKeys non-zero the key, CRLF,
 * the value, CRLF; otherwise the value and CRLF; the text is NUL-terminated after each entry.
 * An entry fits when the text written so far, the entry and the NUL fit in size. Result: the
 * characters written, NUL not counted. When no entry is written (empty record, first entry too
 * large, size < 1, invalid arguments) out is left exactly as it was and the result is 0. */
VORN_API int32_t VornHashToNote(char *out, int32_t size, const Hash *hash, int32_t withKeys);

/* Fills hash from a line list: lines end with CRLF, a lone CR or a lone LF; a last line without
 * terminator counts, a final line end adds no empty line. withKeys 0: every line, empty ones
 * included, is appended as an unnamed cell. withKeys non-zero: lines go in pairs, name then
 * value; a name on the last line gets the empty value; an empty name line gives an unnamed
 * entry. Each value buffer is sized for the raw line with its line end, and at least for the
 * text and its NUL. Result 1, or 0 (see above). */
VORN_API int32_t VornNoteToHash(Hash *hash, const char *text, int32_t withKeys);

/* Length of the first line of text, its line end (CRLF, CR or LF) included; without a line end,
 * the text's length. 0 for an empty or null text. */
VORN_API int32_t VornGetLineLength(const char *text);

/* Writes hash as header lines "key: value" CRLF into out of size bytes (size >= 1). out is set
 * to the empty text first; an entry fits when the text so far, klen + vlen + 4 and the NUL fit.
 * Result: the length of the text in out; 0 with out untouched for invalid arguments. */
VORN_API int32_t VornHashToHttpHeader(char *out, uint32_t size, const Hash *hash);

/* Fills hash from header lines (line ends as VornNoteToHash; empty lines are skipped). The name
 * is the text before the first ":", the value what follows it, less exactly one space when one
 * follows the ":". Nothing else is trimmed: a space before the ":" stays in the name, further
 * spaces stay in the value. A line without ":" (a status line, say) is a name with the empty
 * value; a line starting with ":" is an unnamed entry. Continuation lines are not joined. Names
 * are case-sensitive: "Accept" and "accept" are two cells. Result 1, or 0 (see above); a
 * failure while splitting the lines leaves hash untouched. */
VORN_API int32_t VornHttpHeaderToHash(Hash *hash, const char *text);

/* Copies pattern into out of size bytes (size >= 1), replacing each marker "%" key "%" by that
 * cell's value. At each "%" the cells are tried in index order, each first byte for byte and
 * then, with ignoreCase non-zero, with ASCII case folded; the first cell that matches either way
 * wins, and the whole marker is skipped. Inserted values are not scanned again. A "%" that
 * begins no marker is copied and the scan goes on with the next character, so in "%%x%" the
 * second "%" may begin "%x%". An unnamed cell's marker is "%%". Output stops at size - 1
 * characters, cutting a value if need be, and is always NUL-terminated. Keys of any length
 * work. out must not overlap pattern. Result: characters written, NUL not counted; 0 with out
 * untouched for invalid arguments. */
VORN_API int32_t VornExpandHash(char *out, int32_t size, const char *pattern, const Hash *hash,
                                int32_t ignoreCase);

/* ---------------------------------------------------------------------------------------------
 * URL coding and query strings
 * ------------------------------------------------------------------------------------------- */

/* Percent-encodes text into out of size bytes (size >= 1). ASCII letters (in either case),
 * digits and "*-.@_" are kept; a space becomes "+"; every other byte, and every byte from 0x80
 * on, becomes "%" and two lower-case hexadecimal digits. The result is cut to size - 1
 * characters, possibly inside an escape, and NUL-terminated. out and text may be the same
 * buffer, or overlap. Result: the length of out; 0 with out untouched when a work buffer of
 * 3 * strlen(text) + 1 bytes cannot be had or an argument is invalid. */
VORN_API int32_t VornEncodeUrl(char *out, int32_t size, const char *text);

/* Decodes text into out of size bytes (size >= 1): "+" gives a space, "%" and the next two
 * characters give the byte they spell in hexadecimal (either case); any other byte is copied.
 * An escape always consumes the "%" and up to two following characters (fewer at the end of
 * the text), whatever they are, and yields one byte: with one leading hexadecimal digit, that
 * digit's value ("%4z" gives byte 4); with none ("%zz", "%" at the end), the "%" itself.
 * A decoded NUL ("%00") ends the result. The result is cut to size - 1 characters and
 * NUL-terminated; out and text may be the same buffer, or overlap. Result: the length of out;
 * 0 with out untouched when a work buffer of strlen(text) + 1 bytes cannot be had or an
 * argument is invalid. Decoding what VornEncodeUrl wrote, uncut, gives its text back. */
VORN_API int32_t VornDecodeUrl(char *out, int32_t size, const char *text);

/* Writes hash as a query string "key=value&key=value..." into out of size bytes (size >= 1);
 * keys and values are percent-encoded as VornEncodeUrl does unless raw is non-zero. A pair fits
 * when it, the "&" before it (all pairs but the first) and the NUL fit in what is left; the
 * first pair that does not fit ends the text. Unnamed cells give "=value". out is always
 * NUL-terminated. Needs no memory. Result: characters written, NUL not counted; 0 with out
 * untouched for invalid arguments. */
VORN_API int32_t VornHashToQueryString(char *out, int32_t size, const Hash *hash, int32_t raw);

/* Fills hash from a query string: pieces are split at "&", each piece at its first "=" (none:
 * a name with the empty value), and then, unless raw is non-zero, name and value are decoded
 * as VornDecodeUrl does; an escaped "&" or "=" thus stays inside its name or value. A name that
 * occurs again keeps its first position and takes the later value. text may be a value of hash
 * itself: it is copied before hash is emptied. A piece with an empty name ("=v", or nothing
 * between two "&") is appended as an unnamed cell; a final "&" adds nothing.
 * Values are stored as texts with their terminator. Result 1; 0 when memory runs out (before
 * the record was emptied: untouched; after: holding the pairs stored before the failing one),
 * for a text longer than INT32_MAX - 1 bytes (untouched) or for invalid arguments. */
VORN_API int32_t VornQueryStringToHash(Hash *hash, const char *text, int32_t raw);

/* ---------------------------------------------------------------------------------------------
 * CSV
 *
 * Both functions work through libvorncsv (vorncsv.h), which this library loads when it is
 * loaded itself (found beside it, or by the usual library search) and releases when it is
 * unloaded; each call looks the library up among the objects loaded in the process. When it is
 * not there both functions give 0 and change nothing.
 * ------------------------------------------------------------------------------------------- */

/* Writes hash into the CSV text held in out (size bytes, terminated within them): cell i becomes
 * row i, its key column 0 and its value (as text, up to its first zero byte or the end of its
 * buffer) column 1, each written with VornSetCsv. out is not cleared first: pass the empty text
 * for a new table; rows and further columns already in out stay unless overwritten. The first
 * field that does not fit ends the writing, leaving the rows before it complete. Result: the
 * length of the text in out (an empty record leaves out as it was); 0 with out untouched when
 * the CSV library is missing or an argument is invalid (null pointers, size < 1, out holding
 * no terminator within size). */
VORN_API int32_t VornHashToCsv(char *out, int32_t size, const Hash *hash);

/* Fills hash from a CSV text: each row gives a cell, column 0 its key and column 1 its value
 * (stored as a text with its terminator; a row without a second field gives the empty value);
 * further columns are ignored. The record is emptied first; a key that occurs again keeps its
 * first position and takes the later value; a row with an empty key is appended as a new
 * unnamed cell. A text of zero rows leaves the record empty. Result 1; 0 when the CSV library is
 * missing, an argument is invalid or memory runs out (before the record was emptied:
 * untouched; after: holding the rows stored before the failing one). */
VORN_API int32_t VornCsvToHash(Hash *hash, const char *csv);

/* ---------------------------------------------------------------------------------------------
 * String utilities, random numbers and time formatting
 *
 * These work on caller-owned buffers only, keep no state and may run on any thread at once.
 * ------------------------------------------------------------------------------------------- */

/* Replaces every occurrence of find in the text held in buffer (size >= 1 bytes; the text is
 * taken up to its terminator or size - 1 bytes) by replace, in one left-to-right pass:
 * occurrences do not overlap and inserted text is not scanned again. With ignoreCase non-zero,
 * ASCII letters match in either case. An empty replace deletes the occurrences; an empty find
 * matches nothing, so the text stays as it is. The result is written back cut to size - 1
 * bytes and always NUL-terminated. Result: the length of the complete result, so a result of
 * size or more means it was cut; 0 with buffer untouched for invalid arguments, when a work
 * buffer (of at most size bytes) cannot be had, or when the complete length would exceed
 * INT32_MAX. */
VORN_API int32_t VornReplaceString(char *buffer, int32_t size, const char *find,
                                   const char *replace, int32_t ignoreCase);

/* Overwrites every byte of text equal to find with replace, up to the text's terminator; with
 * ignoreCase non-zero ASCII letters match in either case (other bytes only themselves). Bytes
 * are taken one by one, without regard to multi-byte characters. A null text is ignored. */
VORN_API void VornReplaceCharacter(char *text, char find, char replace, int32_t ignoreCase);

/* Reverses text in place. dbcs 0: byte by byte. dbcs non-zero: character by character, each
 * complete multi-byte UTF-8 sequence keeping its bytes in order (bytes that form no complete
 * sequence are reversed one by one). A null text is ignored. */
VORN_API void VornReverseString(char *text, int32_t dbcs);

/* A random number from the system's cryptographic generator (getrandom), uniform over
 * 0..2147483647; 0 when the generator fails (0 is also an ordinary result). */
VORN_API int32_t VornRandom(void);

/* A calendar time laid out as the Windows SYSTEMTIME record, with its field names and order.
 * Ranges: wMonth 1-12, wDayOfWeek 0-6 (0 is Sunday), wDay 1-31, wHour 0-23, wMinute 0-59,
 * wSecond 0-60. */
typedef struct VornSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds; /* not used */
} VornSystemTime;

/* Formats time into buffer of size >= 1 bytes with the C library's strftime and format, in the
 * calling process's current locale (LC_TIME). The fields are taken as given, with no day of the
 * year (%j gives 001) and no daylight saving time: %Z names the process's standard time zone and
 * %z gives +0000. Result 1; 0 for invalid arguments or fields out of range (buffer untouched),
 * when a work buffer cannot be had (untouched), or when the result does not fit in size - 1
 * bytes (buffer then holds the empty text). */
VORN_API int32_t VornSystemTimeFmt(char *buffer, int32_t size, const char *format,
                                   const VornSystemTime *time);

/* ---------------------------------------------------------------------------------------------
 * Nucleotide sequences
 *
 * Sequences are texts in the IUPAC one-letter codes, upper or lower case: the bases A, C, G,
 * T, U and the ambiguity codes R (A/G), Y (C/T/U), K (G/T/U), M (A/C), S (C/G), W (A/T/U),
 * B, D, H, V and N (any). T and U are the same base unless strictTU is non-zero.
 * ------------------------------------------------------------------------------------------- */

/* Writes the complement of text into out of size >= 1 bytes, upper case, cut to size - 1
 * characters: A->T, C->G, G->C, T->A, U->A, K<->M, R<->Y; every other character (B, D, H, V, S,
 * W, N among them) stays. An RNA text thus gives a DNA complement. Unless noReverse is non-zero
 * the result is then reversed, giving the reverse complement. out may be text itself. Result:
 * the length of out in both modes; 0 with out untouched for invalid arguments. */
VORN_API int32_t VornDNAComplementary(char *out, const char *text, int32_t size, int32_t noReverse);

/* 0 when the concrete base matches pattern, which may be an ambiguity code, else 1; case is
 * ignored. Not symmetric: (A, N) matches, (N, A) does not. A base other than A, C, G, T, U
 * matches only itself. */
VORN_API int32_t VornCompareMonoNucleotide(char base, char pattern, int32_t strictTU);

/* Compares the first count characters of sequence with pattern, base against pattern code as
 * VornCompareMonoNucleotide does: 0 when all match, 1 at the first mismatch. A text that ends
 * early matches as far as it goes (so the empty text matches anything), count <= 0 matches, and
 * a null text never matches (1). */
VORN_API int32_t VornComparePolyNucleotide(const char *sequence, const char *pattern, int32_t count,
                                           int32_t strictTU);

/* Removes the introns from a pre-mRNA sequence in place. From position 3 on, a donor site
 * "AGGU" opens an intron at its second G; the intron closes after a branch point "YURAY" has been
 * seen (it may start at the intron's first base) at the first base preceded by "AG", which is
 * kept as the first base of the next exon. T matches U, and near the end of the text a site
 * matches as far as the text goes; an intron that never closes runs to the end. Example:
 * "CCCAGGUAAUACUAACAGGCC" gives "CCCAGGCC". Result: the length of the result; 0 with the
 * sequence unchanged when a work buffer of strlen(sequence) + 1 bytes cannot be had or the
 * sequence is null. */
VORN_API int32_t VornmRNASplicing(char *sequence);

#ifdef __cplusplus
}
#endif

#endif /* VORNHASH_H */
