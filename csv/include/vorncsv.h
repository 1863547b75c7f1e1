/*
 * vorncsv: reading and editing CSV text in a caller's buffer, one field at a time.
 *
 * Dialect (RFC 4180): fields are separated by commas; a field holding a comma, a double quote,
 * a CR or an LF is written between double quotes, with each double quote inside doubled. Rows
 * are written with CRLF line breaks; CR, LF and CRLF are all accepted when reading. A final
 * line break does not start a row, so the empty text has no rows and "a\r\n" has one. An empty
 * line is a row holding one empty field.
 *
 * Reading is lenient, as common readers are: a quote inside an unquoted field is an ordinary
 * character, characters after a closing quote are appended to the field, and a quoted field
 * left open runs to the end of the text.
 *
 * Rows and columns are numbered from 0. Texts are NUL-terminated byte strings (UTF-8 passes
 * through untouched); lengths and sizes count bytes, sizes including the terminator. No
 * function allocates memory, keeps state or crashes on null pointers; all may run on any thread
 * at once on distinct buffers.
 */
#ifndef VORNCSV_H
#define VORNCSV_H

#include <stdint.h>

#if defined(VORNCSV_BUILDING)
#define VORNCSV_API __attribute__((visibility("default")))
#else
#define VORNCSV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What VornCountCsv counts. */
#define VORNCSV_COUNT_ROWS 1    /* rows of the text */
#define VORNCSV_COUNT_COLUMNS 2 /* fields of its widest row */

/* Writes field into the CSV text held in csv (a buffer of size bytes) at row, column, editing
 * the text in place: the rest of the text keeps its bytes. Rows beyond the last are appended
 * (an empty line for each row skipped, CRLF after each new row) and columns beyond a row's
 * last field are appended to that row, empty. The field is quoted when it needs to be, and also
 * when it is empty and the only field of an existing row, which might otherwise vanish.
 * Result: the length of the new text, or 0 with the buffer unchanged when the new text and its
 * terminator would not fit in size bytes, the buffer holds no terminator within size bytes, a
 * pointer is null, or row or column is negative. */
VORNCSV_API int32_t VornSetCsv(char *csv, int32_t size, const char *field, int32_t row,
                               int32_t column);

/* Copies the field at row, column of the text csv, unquoted, into dest (size >= 1 bytes),
 * cut to size - 1 bytes and always terminated. A field outside the table reads as empty.
 * Result: the field's complete length (a result of size or more means dest holds it cut), or
 * -1 with dest untouched for a null pointer, a size below 1 or a negative row or column. */
VORNCSV_API int32_t VornGetCsv(char *dest, int32_t size, const char *csv, int32_t row,
                               int32_t column);

/* Counts in the text csv what the second argument asks for: VORNCSV_COUNT_ROWS or
 * VORNCSV_COUNT_COLUMNS. Result the count, or -1 for a null csv or another request. */
VORNCSV_API int32_t VornCountCsv(const char *csv, int32_t what);

#ifdef __cplusplus
}
#endif

#endif /* VORNCSV_H */
