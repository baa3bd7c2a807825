/* list-handhelds.c -- an example program of the link library zr-net: lists the handhelds that
 * answer, each with its address, name, serial and battery level.
 *
 *   list-handhelds                the handhelds that discovery finds behind this computer's
 *                                 USB network adapters
 *   list-handhelds ADDRESS...     the handhelds at these IPv4 addresses (a simulator's, say)
 *
 * Exit status: 0 when at least one handheld answered, 1 when the library failed, 2 for a bad
 * command line, 3 when no handheld answered.  It is C that a C++ compiler takes as well:
 *
 *   cc list-handhelds.c $(pkg-config --cflags --libs zr-net) -o list-handhelds
 *   c++ -x c++ list-handhelds.c $(pkg-config --cflags --libs zr-net) -o list-handhelds
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <zr-net.h>

/* What a negative result means.  The library's own codes are looked up first; any other
 * code -N is the handheld's status N (-1021 and -1022 can be either, see zr-net.h). */
static const char *result_text(int code)
{
    switch (code) {
#define LIBRARY_CODE(name, value, text) \
    case (value): return text;
        ZR_RESULT_MAP(LIBRARY_CODE)
#undef LIBRARY_CODE
    }
    switch (-code) {
#define HANDHELD_STATUS(name, status, text) \
    case (status): return text;
        ZR_STATUS_MAP(HANDHELD_STATUS)
#undef HANDHELD_STATUS
    }
    return "a status of the handheld";
}

/* Asks the handheld at addr (host order) for its info record and prints one line about it.
 * Returns 1 when it answered, 0 when it did not. */
static int show(uint32_t addr)
{
    struct in_addr a;
    char text[INET_ADDRSTRLEN];
    zr_info info;
    int r;

    a.s_addr = htonl(addr);
    inet_ntop(AF_INET, &a, text, sizeof text);
    memset(&info, 0, sizeof info);
    r = KQ_ZR_sr_info(addr, 1, &info);
    if (r < 0) {
        printf("%-15s  no info: %s (%d)\n", text, result_text(r), r);
        return 0;
    }
    /* Text members are terminated only when shorter than their size. */
    printf("%-15s  %-8.*s  %.*s  battery %u%%\n", text, (int)sizeof info.name, info.name,
           (int)sizeof info.eid, info.eid, (unsigned)info.bat[0]);
    return 1;
}

int main(int argc, char **argv)
{
    int answered = 0, failed = 0, i, r;

    for (i = 1; i < argc; i++) {
        struct in_addr a;
        if (inet_pton(AF_INET, argv[i], &a) != 1) {
            fprintf(stderr, "list-handhelds: not an IPv4 address: %s\n", argv[i]);
            fprintf(stderr, "usage: list-handhelds [ADDRESS...]\n");
            return 2;
        }
    }
    /* The library keeps process-wide state and no locks: this program calls it from its
     * one thread.  Every successful KQ_ZR_1b_init is matched by one KQ_ZR_1b_done. */
    if (KQ_ZR_1b_init() < 0) {
        fprintf(stderr, "list-handhelds: the link library did not start\n");
        return 1;
    }
    if (argc > 1) {
        for (i = 1; i < argc; i++) {
            struct in_addr a;
            inet_pton(AF_INET, argv[i], &a);
            /* The probe answers within about a second, where a connection to a silent
             * address would wait for its time-out. */
            r = KQ_ZR_en_ping(ntohl(a.s_addr));
            if (r == 0) {
                answered += show(ntohl(a.s_addr));
            } else if (r == ZR_E_END || r == ZR_E_FOREIGN) {
                printf("%-15s  %s\n", argv[i],
                       r == ZR_E_END ? "not answering" : "something else answers");
            } else {
                fprintf(stderr, "list-handhelds: %s: %s (%d)\n", argv[i], result_text(r), r);
                failed = 1;
            }
        }
    } else {
        /* One enumeration at a time: open, take every answering candidate, close. */
        int h = KQ_ZR_en_init();
        if (h < 0) {
            fprintf(stderr, "list-handhelds: discovery: %s (%d)\n", result_text(h), h);
            failed = 1;
        } else {
            zr_enum_rec rec;
            while ((r = KQ_ZR_en_enum(h, &rec)) >= 0)
                answered += show(rec.addr);
            if (r != ZR_E_END) {
                fprintf(stderr, "list-handhelds: discovery: %s (%d)\n", result_text(r), r);
                failed = 1;
            }
            KQ_ZR_en_done(h);
        }
    }
    KQ_ZR_1b_done();
    if (failed)
        return 1;
    if (answered == 0) {
        printf("no handheld answered\n");
        return 3;
    }
    return 0;
}
