/*
 * zr-policy.cpp -- the storage policy read from "policy.dat".
 *
 * The policy maps a virtual folder tree onto real folders: a root name (built in: "/orv")
 * stands for a base folder, and below it only a fixed set of named folders is allowed,
 * each mapped to a folder under the base.  KQ_ZR_pol_init reads the policy from a text
 * file and checks that the mapped folders exist; KQ_ZR_pol_mung turns a virtual path into
 * the real one and refuses paths that would leave the mapped folders.
 *
 * Policy file, one line at a time (lines of at most 199 characters; a longer line is
 * handled, and counted, in pieces):
 *     # comment
 *     [root]
 *     "/orv" "/"
 *     [dirs]
 *     "documents" "documents" 0 6
 * Every error prints one line on the standard error stream, starting with this file's
 * name, the check number (also the negated result) and the policy file's line number.
 */
#include "zr-internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char SOURCE[] = "zr-policy.cpp";
const char DEFAULT_FILE[] = "policy.dat";

/* The built-in policy, installed first by every KQ_ZR_pol_init. */
zr_pol_dir builtin_tmp = {nullptr, "tmp", "tmp", 0, 6};
zr_pol_dir builtin_documents = {&builtin_tmp, "documents", "documents", 0, 6};
zr_pol_root builtin_root = {"/orv", "/", &builtin_documents};

/* The policy in force. */
const zr_pol_root *policy = nullptr;

/* Records made by earlier calls are never freed (a caller may still hold a folder record
 * that KQ_ZR_pol_mung gave out); this list keeps them reachable. */
zr_pol_root **kept_roots = nullptr;
size_t kept_count = 0, kept_room = 0;

const int LINE = ZR_LINE;    /* line buffer: at most 199 characters a line */
const int TEXT = 100;        /* quoted texts and section names: at most 99 characters */
const int FLAG_INSIDE = 0x8; /* the path must name something inside a mapped folder */

/* Check numbers (the negated results of KQ_ZR_pol_init). */
enum {
    BAD_TOKEN = 345,
    BAD_SECTION = 357,
    ROOT_AGAIN = 364,
    ROOT_NO_MEMORY = 368,
    ROOT_NAME = 372,
    ROOT_BASE = 378,
    DIRS_NO_ROOT = 386,
    DIRS_NO_MEMORY = 390,
    DIRS_NAME = 394,
    DIRS_HOST = 400,
    DIRS_NUM1 = 406,
    DIRS_NUM2 = 412,
    NOT_IN_SECTION = 425,
    MISSING_DIR = 459
};

char *zr_pol_strdup(const char *text)
{
    size_t n = std::strlen(text);
    auto *copy = static_cast<char *>(zr_malloc("string", static_cast<int>(n + 1)));
    if (copy)
        std::memcpy(copy, text, n + 1);
    return copy;
}

/* Prints a check's message: "<file>-<check>: ln <line>, <what> ``<text>''". */
int zr_pol_error(int check, int line, const char *what, const char *text)
{
    if (text)
        std::fprintf(stderr, "%s-%d: ln %d, %s ``%s''\r\n", SOURCE, check, line, what, text);
    else
        std::fprintf(stderr, "%s-%d: ln %d, %s\r\n", SOURCE, check, line, what);
    return -check;
}

/* Adds a root record to the kept ones; false when there is no memory for that. */
bool keep(zr_pol_root *root)
{
    if (kept_count == kept_room) {
        size_t room = kept_room ? kept_room * 2 : 8;
        auto **grown =
            static_cast<zr_pol_root **>(zr_os_alloc(room * sizeof(zr_pol_root *), "policy list"));
        if (grown == nullptr)
            return false;
        if (kept_count > 0)
            std::memcpy(grown, kept_roots, kept_count * sizeof(zr_pol_root *));
        zr_os_free(kept_roots);
        kept_roots = grown;
        kept_room = room;
    }
    kept_roots[kept_count++] = root;
    return true;
}

/* Writes base + "/" (unless base ends in one) + host into out; returns the length. */
size_t join_base_host(char *out, const char *base, const char *host)
{
    size_t bl = std::strlen(base);
    std::memcpy(out, base, bl);
    size_t n = bl;
    if (bl == 0 || base[bl - 1] != '/')
        out[n++] = '/';
    size_t hl = std::strlen(host);
    std::memcpy(out + n, host, hl);
    n += hl;
    out[n] = '\0';
    return n;
}

/* Reports every mapped folder of the policy in force that does not exist.  The folder
 * looked at is the one the mapping produces (the base joined with the folder's host
 * part), so a policy whose base is not "/" is checked where its files will go. */
void zr_pol_check_dirs()
{
    if (policy == nullptr)
        return;
    for (const zr_pol_dir *d = policy->dirs; d; d = d->next) {
        if (d->host == nullptr || policy->base == nullptr)
            continue;
        size_t room = std::strlen(policy->base) + std::strlen(d->host) + 2;
        auto *path = static_cast<char *>(zr_malloc("string", static_cast<int>(room)));
        if (path == nullptr)
            continue;
        join_base_host(path, policy->base, d->host);
        if (zr_os_path_kind(path) == 0)
            std::fprintf(stderr, "%s-%d: missing directory ``%s'', bugz 15239\r\n", SOURCE,
                         MISSING_DIR, path);
        zr_free(path);
    }
}

/* Removes the end of a line: at its first carriage return, or else its first line feed. */
void cut_line_end(char *line)
{
    char *end = std::strchr(line, '\r');
    if (end == nullptr)
        end = std::strchr(line, '\n');
    if (end)
        *end = '\0';
}

/* The first `length` characters of the rest of a path: after every "/" there is neither
 * "." nor ".." (each followed by "/" or the end) nor another "/"; a "/" at the very end
 * is allowed. */
bool path_ok(const char *rest, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (rest[i] != '/')
            continue;
        size_t left = length - i - 1; /* characters after this "/" */
        const char *next = rest + i + 1;
        if (left >= 1 && next[0] == '/')
            return false;
        if (left >= 1 && next[0] == '.' && (left == 1 || next[1] == '/'))
            return false;
        if (left >= 2 && next[0] == '.' && next[1] == '.' && (left == 2 || next[2] == '/'))
            return false;
    }
    return true;
}

enum section { NONE, ROOT, DIRS };

/* Reads the policy lines of an open file.  0 at its end, or minus a check number. */
int read_policy(std::FILE *f)
{
    char buf[LINE];
    int number = 0;
    section in = NONE;
    zr_pol_root *root = nullptr; /* the root line of this file */
    zr_pol_dir **tail = nullptr; /* where the next folder record goes */

    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        ++number;
        char *p = buf;
        while (*p == ' ' || *p == '\t')
            ++p;
        cut_line_end(p);
        if (*p == '\0' || *p == '#')
            continue;

        if (*p == '[') {
            char name[TEXT];
            if (zr_p_token(name, sizeof name, p + 1) == 0)
                return zr_pol_error(BAD_TOKEN, number, "bad token", p + 1);
            if (std::strcmp(name, "root") == 0)
                in = ROOT;
            else if (std::strcmp(name, "dirs") == 0)
                in = DIRS;
            else
                return zr_pol_error(BAD_SECTION, number, "bad sect", name);
            continue;
        }

        char first[TEXT], second[TEXT];
        if (in == ROOT) {
            if (root != nullptr)
                return zr_pol_error(ROOT_AGAIN, number, "bad root", "(already defined)");
            int n1 = zr_p_str(first, p, sizeof first);
            if (n1 == 0)
                return zr_pol_error(ROOT_NAME, number, "bad root", p);
            int n2 = zr_p_str(second, p + n1, sizeof second);
            if (n2 == 0)
                return zr_pol_error(ROOT_BASE, number, "bad root", p + n1);
            auto *made = static_cast<zr_pol_root *>(
                zr_malloc("policy root", static_cast<int>(sizeof(zr_pol_root))));
            if (made == nullptr)
                return -ROOT_NO_MEMORY;
            /* A root that could not be kept reachable is given up like one never made. */
            if (!keep(made)) {
                zr_free(made);
                return -ROOT_NO_MEMORY;
            }
            made->name = zr_pol_strdup(first);
            made->base = zr_pol_strdup(second);
            /* A root whose texts could not be copied is not installed. */
            if (made->name == nullptr || made->base == nullptr)
                return -ROOT_NO_MEMORY;
            root = made;
            tail = &made->dirs;
            policy = made;
        } else if (in == DIRS) {
            if (root == nullptr)
                return zr_pol_error(DIRS_NO_ROOT, number, "bad data", "(no root)");
            int n1 = zr_p_str(first, p, sizeof first);
            if (n1 == 0)
                return zr_pol_error(DIRS_NAME, number, "bad data", p);
            int n2 = zr_p_str(second, p + n1, sizeof second);
            if (n2 == 0)
                return zr_pol_error(DIRS_HOST, number, "bad data", p + n1);
            const char *rest = p + n1 + n2;
            int32_t num1 = 0, num2 = 0;
            int n3 = zr_p_long(&num1, rest);
            if (n3 == 0)
                return zr_pol_error(DIRS_NUM1, number, "bad data", rest);
            if (zr_p_long(&num2, rest + n3) == 0)
                return zr_pol_error(DIRS_NUM2, number, "bad data", rest + n3);
            auto *dir = static_cast<zr_pol_dir *>(
                zr_malloc("policy dir", static_cast<int>(sizeof(zr_pol_dir))));
            if (dir == nullptr)
                return -DIRS_NO_MEMORY;
            char *name = zr_pol_strdup(first);
            char *host = zr_pol_strdup(second);
            /* A folder whose texts could not be copied is not added. */
            if (name == nullptr || host == nullptr) {
                zr_free(name);
                zr_free(host);
                zr_free(dir);
                return -DIRS_NO_MEMORY;
            }
            dir->name = name;
            dir->host = host;
            dir->num1 = num1;
            dir->num2 = num2;
            *tail = dir;
            tail = &dir->next;
        } else {
            return zr_pol_error(NOT_IN_SECTION, number, "not in section", nullptr);
        }
    }
    return 0;
}

} // namespace

extern "C" {

const zr_pol_root *zri_pol_current(void) { return policy; }

void zri_pol_release(void)
{
    for (size_t i = 0; i < kept_count; ++i) {
        zr_pol_root *root = kept_roots[i];
        for (zr_pol_dir *d = root->dirs; d != nullptr;) {
            zr_pol_dir *next = d->next;
            zr_free(const_cast<char *>(d->name));
            zr_free(const_cast<char *>(d->host));
            zr_free(d);
            d = next;
        }
        zr_free(const_cast<char *>(root->name));
        zr_free(const_cast<char *>(root->base));
        zr_free(root);
    }
    zr_os_free(kept_roots);
    kept_roots = nullptr;
    kept_count = kept_room = 0;
    policy = nullptr;
}

int zri_pol_path_ok(const char *rest)
{
    return rest != nullptr && path_ok(rest, std::strlen(rest));
}

int KQ_ZR_pol_init(const char *file)
{
    policy = &builtin_root;
    zr_os_set_errno(0);
    std::FILE *f = std::fopen(file ? file : DEFAULT_FILE, "r");
    if (f == nullptr) {
        zr_pol_check_dirs();
        return -1;
    }
    int r = read_policy(f);
    std::fclose(f);
    if (r == 0)
        zr_pol_check_dirs();
    return r;
}

int KQ_ZR_pol_mung(char *out, const char *path, int size, int flags)
{
    if (out != nullptr && size > 0)
        std::memset(out, 0, static_cast<size_t>(size));
    const zr_pol_root *root = policy;
    if (root == nullptr || out == nullptr || path == nullptr || root->name == nullptr ||
        root->base == nullptr)
        return -1;
    size_t base_len = std::strlen(root->base);
    if (size <= 0 || static_cast<size_t>(size) <= base_len)
        return -1;
    bool inside = (flags & FLAG_INSIDE) != 0;

    if (std::strcmp(path, "-") == 0)
        return 1;
    if (std::strcmp(path, "/") == 0) {
        if (inside)
            return -6;
        std::strncpy(out, root->name, static_cast<size_t>(size) - 1);
        return 2;
    }
    size_t name_len = std::strlen(root->name);
    if (std::strcmp(path, root->name) == 0) {
        if (inside)
            return -6;
        /* The first folder record, stored in the buffer's first bytes. */
        if (static_cast<size_t>(size) < sizeof(zr_pol_dir *))
            return -3;
        zr_pol_dir *first = root->dirs;
        std::memcpy(out, &first, sizeof first);
        return 3;
    }

    if (std::strncmp(path, root->name, name_len) != 0 || path[name_len] != '/')
        return -1;
    const char *component = path + name_len + 1;
    const char *end = std::strchr(component, '/');
    size_t component_len = end ? static_cast<size_t>(end - component) : std::strlen(component);
    const zr_pol_dir *dir = root->dirs;
    for (; dir; dir = dir->next)
        if (dir->name && dir->host && std::strlen(dir->name) == component_len &&
            std::memcmp(dir->name, component, component_len) == 0)
            break;
    if (dir == nullptr)
        return -2;

    /* The rest starts with the "/" after the component; one "/" at its very end goes. */
    const char *rest = component + component_len;
    size_t rest_len = std::strlen(rest);
    if (rest_len > 0 && rest[rest_len - 1] == '/')
        --rest_len;

    if (rest_len + std::strlen(dir->host) + base_len + 2 >= static_cast<size_t>(size))
        return -3;
    if (!path_ok(rest, rest_len))
        return -4;
    if (std::memchr(rest, '\\', rest_len) != nullptr)
        return -5;

    size_t n = join_base_host(out, root->base, dir->host);
    if (inside && rest_len == 0)
        return -6;
    std::memcpy(out + n, rest, rest_len);
    out[n + rest_len] = '\0';
    return 0;
}

} // extern "C"
