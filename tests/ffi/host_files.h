/* Whole-file reads and writes for the C host tests. */
#ifndef QUORVEL_TESTS_HOST_FILES_H
#define QUORVEL_TESTS_HOST_FILES_H

#include <stdio.h>
#include <stdlib.h>

/* Writes `text` as the whole file; 0 on success. */
static int write_file(const char* path, const char* text) {
    FILE* f = fopen(path, "wb");
    if (f == NULL) {
        return -1;
    }
    fputs(text, f);
    return fclose(f);
}

/* The whole file as a malloc'ed string, or NULL. */
static char* read_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        return NULL;
    }
    size_t cap = 4096, len = 0;
    char* buf = malloc(cap);
    size_t n;
    while (buf != NULL && (n = fread(buf + len, 1, cap - len - 1, f)) > 0) {
        len += n;
        if (cap - len < 2) {
            char* grown = realloc(buf, cap * 2);
            if (grown == NULL) {
                free(buf);
            }
            buf = grown;
            cap *= 2;
        }
    }
    fclose(f);
    if (buf != NULL) {
        buf[len] = '\0';
    }
    return buf;
}

#endif
