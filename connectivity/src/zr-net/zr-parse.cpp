/*
 * zr-parse.cpp -- the text scanners and the path escape.
 *
 * Each scanner skips its own set of leading separators, converts one item and returns how
 * many characters it consumed, so a caller walks a line by adding up the counts.  None of
 * them allocates or changes its input.
 */
#include "zr-internal.h"

#include <cstring>

namespace {

bool is_num_sep(char c) { return c == ' ' || c == '\t' || c == ','; }

bool is_token_sep(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == ',' || c == '=' || c == '(' || c == ')' ||
           c == '[' || c == ']';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" {

int zr_p_long(int32_t *out, const char *text)
{
    const char *p = text;
    while (is_num_sep(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    /* A leading 0 selects base 8, yet 8 and 9 keep their decimal values ("09" is 9). */
    uint32_t base = *p == '0' ? 8 : 10;
    uint32_t value = 0; /* 32-bit arithmetic that wraps */
    while (*p >= '0' && *p <= '9')
        value = value * base + static_cast<uint32_t>(*p++ - '0');
    if (negative)
        value = 0u - value;
    if (out)
        *out = static_cast<int32_t>(value);
    return static_cast<int>(p - text);
}

int zri_scan_number(const char *text, int32_t *value)
{
    int n = zr_p_long(value, text);
    for (int i = 0; i < n; ++i)
        if (text[i] >= '0' && text[i] <= '9')
            return n;
    return 0;
}

int zr_p_token(char *buf, int length, const char *text)
{
    const char *p = text;
    while (*p && is_token_sep(*p))
        ++p;
    int stored = 0;
    for (; *p && !is_token_sep(*p); ++p) {
        if (stored < length - 1) {
            char c = *p;
            buf[stored++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    if (length > 0)
        buf[stored] = '\0';
    return static_cast<int>(p - text);
}

int zr_p_str(char *buf, const char *text, int length)
{
    /* Without room for the terminator no text fits, not even an empty one. */
    if (length <= 0)
        return 0;
    const char *p = text;
    while (is_num_sep(*p))
        ++p;
    if (*p != '"')
        return 0;
    ++p;
    int copied = 0;
    while (*p && *p != '"' && copied < length - 1)
        buf[copied++] = *p++;
    buf[copied] = '\0';
    if (*p != '"')
        return 0;
    return static_cast<int>(p + 1 - text);
}

int zr_p_dehex(uint8_t *out, const char *text)
{
    const char *p = text;
    while (is_num_sep(*p))
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    if (*p == '\0') {
        *out = 0;
        return static_cast<int>(p - text);
    }
    unsigned value = 0;
    for (; *p && *p != ':' && *p != ','; ++p) {
        int d = hex_digit(*p);
        if (d < 0)
            return 0;
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 255)
            return 0;
    }
    *out = static_cast<uint8_t>(value);
    return static_cast<int>(p - text);
}

int zr_p_addr(uint32_t *out, const char *text)
{
    const char *p = text;
    while (is_num_sep(*p))
        ++p;
    if (p[0] == '/' && p[1] >= '0' && p[1] <= '9') {
        const char *q = p + 1;
        unsigned n = 0;
        while (*q >= '0' && *q <= '9') {
            n = n * 10 + static_cast<unsigned>(*q++ - '0');
            if (n > 32)
                return 0;
        }
        *out = n == 0 ? 0 : 0xFFFFFFFFu << (32 - n);
        return static_cast<int>(q - text);
    }
    char name[80];
    int len = 0;
    while (len < 79 && p[len] && p[len] != ' ' && p[len] != '/' && p[len] != ',' && p[len] != ')') {
        name[len] = p[len];
        ++len;
    }
    name[len] = '\0';
    uint32_t addr;
    if (len == 0 || zr_os_resolve(name, &addr) != 0)
        return 0;
    *out = addr;
    return static_cast<int>(p + len - text);
}

const char *zr_p_skip(const char *text)
{
    while (*text == ' ' || *text == '\t' || *text == '\f')
        ++text;
    return *text ? text : nullptr;
}

int zr_p_esc1(char *buf, const char *src, int length)
{
    if (length <= 0)
        return 0;
    int written = 0;
    for (; *src && written < length - 1; ++src) {
        if (*src == ' ' || *src == '\\') {
            buf[written++] = '\\';
            if (written >= length - 1)
                break; /* the escaped character does not fit: the lone backslash ends it */
        }
        buf[written++] = *src;
    }
    buf[written] = '\0';
    return written;
}

} // extern "C"
