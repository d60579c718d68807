/*
 * A small reader for amplification plates stored as CSV: a header line of
 * (optionally double-quoted) names, then one line per cycle whose first
 * field is the cycle number and whose other fields are the readings of one
 * well each. Empty fields and NA read as NaN.
 *
 * Any numeric table of this shape reads the same way (the melting example
 * reads its temperature and dye columns with it). Header-only and usable from
 * C99 and C++, so that the example programs and the benchmarks share it. The library itself reads no files.
 */
#ifndef QUELMARALG_EXAMPLES_PLATE_CSV_H
#define QUELMARALG_EXAMPLES_PLATE_CSV_H

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct PlateCsv {
    size_t cycle_count;
    size_t well_count;
    double* cycles;   /* cycle_count values of the first column */
    double* readings; /* well after well: well w at cycle index c is readings[w * cycle_count + c] */
    char** names;     /* well_count names, quotes removed */
} PlateCsv;

static inline void plate_csv_free(PlateCsv* plate) {
    size_t w;
    if (plate->names != NULL)
        for (w = 0; w < plate->well_count; ++w) free(plate->names[w]);
    free(plate->names);
    free(plate->cycles);
    free(plate->readings);
    memset(plate, 0, sizeof *plate);
}

/* The whole file as one NUL-terminated text, or NULL. */
static inline char* plate_csv_slurp(const char* path) {
    FILE* file = fopen(path, "rb");
    char* text = NULL;
    size_t size = 0;
    size_t capacity = 0;
    if (file == NULL) return NULL;
    for (;;) {
        size_t got;
        if (capacity - size < 4096) {
            char* grown;
            capacity = capacity * 2 + 8192;
            grown = (char*)realloc(text, capacity);
            if (grown == NULL) break;
            text = grown;
        }
        got = fread(text + size, 1, capacity - size - 1, file);
        size += got;
        if (got == 0) {
            if (ferror(file)) break;
            fclose(file);
            text[size] = '\0';
            return text;
        }
    }
    fclose(file);
    free(text);
    return NULL;
}

/* Cuts the next comma-separated field off the line at *cursor, removing
 * surrounding blanks and double quotes; *cursor becomes NULL after the last
 * field of the line. */
static inline char* plate_csv_field(char** cursor) {
    char* p = *cursor;
    char* field;
    char* end;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '"') {
        field = ++p;
        while (*p != '\0' && *p != '"') ++p;
        end = p;
        if (*p != '\0') ++p;
        while (*p != '\0' && *p != ',') ++p;
    } else {
        field = p;
        while (*p != '\0' && *p != ',') ++p;
        end = p;
        while (end > field && isspace((unsigned char)end[-1])) --end;
    }
    *cursor = *p == ',' ? p + 1 : NULL;
    *end = '\0';
    return field;
}

/* Splits text into its non-blank lines, in place; returns how many. */
static inline size_t plate_csv_lines(char* text, char** lines) {
    size_t count = 0;
    char* line = text;
    while (*line != '\0') {
        char* next = line + strcspn(line, "\r\n");
        const char* p = line;
        if (*next != '\0') *next++ = '\0';
        while (*p == ' ' || *p == '\t') ++p;
        if (*p != '\0') lines[count++] = line;
        line = next;
    }
    return count;
}

static inline int plate_csv_fail(PlateCsv* plate, char* text, char** lines, const char* what, const char* path,
                                 char* error, size_t error_size) {
    free(lines);
    free(text);
    plate_csv_free(plate);
    if (error != NULL && error_size > 0) snprintf(error, error_size, "%s: %s", path, what);
    return -1;
}

/* Reads a plate; 0 on success, -1 with a message in error otherwise. */
static inline int plate_csv_read(const char* path, PlateCsv* plate, char* error, size_t error_size) {
    char* text;
    char** lines;
    char* cursor;
    size_t line_count;
    size_t r;
    size_t w;

    memset(plate, 0, sizeof *plate);
    text = plate_csv_slurp(path);
    if (text == NULL) return plate_csv_fail(plate, NULL, NULL, "cannot read the file", path, error, error_size);
    /* At most one line more than there are line breaks. */
    line_count = 1;
    for (cursor = text; *cursor != '\0'; ++cursor) line_count += *cursor == '\n' || *cursor == '\r';
    lines = (char**)malloc(line_count * sizeof *lines);
    if (lines == NULL) return plate_csv_fail(plate, text, NULL, "out of memory", path, error, error_size);
    line_count = plate_csv_lines(text, lines);
    if (line_count < 2)
        return plate_csv_fail(plate, text, lines, "needs a header line and at least one cycle", path, error,
                              error_size);

    /* Header: the first name belongs to the cycle column. */
    cursor = lines[0];
    plate_csv_field(&cursor);
    while (cursor != NULL) {
        const char* name = plate_csv_field(&cursor);
        char** grown = (char**)realloc(plate->names, (plate->well_count + 1) * sizeof *grown);
        if (grown == NULL) return plate_csv_fail(plate, text, lines, "out of memory", path, error, error_size);
        plate->names = grown;
        plate->names[plate->well_count] = (char*)malloc(strlen(name) + 1);
        if (plate->names[plate->well_count] == NULL)
            return plate_csv_fail(plate, text, lines, "out of memory", path, error, error_size);
        strcpy(plate->names[plate->well_count], name);
        ++plate->well_count;
    }
    if (plate->well_count == 0)
        return plate_csv_fail(plate, text, lines, "has no well columns", path, error, error_size);

    plate->cycle_count = line_count - 1;
    plate->cycles = (double*)malloc(plate->cycle_count * sizeof(double));
    plate->readings = (double*)malloc(plate->cycle_count * plate->well_count * sizeof(double));
    if (plate->cycles == NULL || plate->readings == NULL)
        return plate_csv_fail(plate, text, lines, "out of memory", path, error, error_size);
    for (r = 0; r < plate->cycle_count; ++r) {
        cursor = lines[r + 1];
        for (w = 0; w <= plate->well_count; ++w) {
            const char* field;
            char* end;
            double value = NAN;
            if (cursor == NULL)
                return plate_csv_fail(plate, text, lines, "a cycle line has fewer fields than the header", path, error,
                                      error_size);
            field = plate_csv_field(&cursor);
            if (field[0] != '\0' && strcmp(field, "NA") != 0) {
                value = strtod(field, &end);
                if (*end != '\0')
                    return plate_csv_fail(plate, text, lines, "a reading is not a number", path, error, error_size);
            }
            if (w == 0)
                plate->cycles[r] = value;
            else
                plate->readings[(w - 1) * plate->cycle_count + r] = value;
        }
        if (cursor != NULL)
            return plate_csv_fail(plate, text, lines, "a cycle line has more fields than the header", path, error,
                                  error_size);
    }
    free(lines);
    free(text);
    return 0;
}

#endif /* QUELMARALG_EXAMPLES_PLATE_CSV_H */
