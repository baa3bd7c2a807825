/*
 * zr-rename.cpp -- host file rename.
 *
 * zr_rename takes two UTF-8 paths with "/" between folders.  When both lie in the same
 * folder the file is renamed from inside that folder (the current folder changes for the
 * duration of the call and is then set back); otherwise the file is moved by copying its
 * content in 512-byte pieces and deleting the old one.
 *
 * A move can replace only what a plain write could: an existing target must be a file the
 * caller may write, and a link as target is written through (zri_target).  The copy goes
 * into a new file beside the target, with the target's owner and permission bits, which
 * takes the target's name only once the whole content is there, so a failed move leaves
 * both the old file and an existing target as they were -- unless the target's folder
 * takes no new file: the target is then rewritten in place, as a plain write would.  A
 * move of a file onto itself under another spelling of its path ("a/x" and "a/./x", or two
 * links to one file) changes nothing instead of emptying it.
 */
#include "zr-internal.h"

#include <cerrno>
#include <cstring>

namespace {

/* The current folder, taken before a same-folder rename and set back after it. */
char zr_saved_cwd[250];

const int COPY_PIECE = 512;
const int MOVE_MODE = 0644;
const int READ_FLAGS = ZR_OS_O_RDONLY | ZR_OS_O_BINARY; /* 0x8000 */

/* Length of the folder part of a path: up to and including its last "/". */
size_t folder_length(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path + 1) : 0;
}

int rename_in_folder(const char *oldpath, const char *newpath, size_t folder)
{
    if (folder == 0)
        return utf8rename(oldpath, newpath);
    char dir[COPY_PIECE];
    if (folder >= sizeof dir) {
        zr_os_set_errno(ENAMETOOLONG);
        return -1;
    }
    /* Taken afresh on every call, so that the folder set back is the caller's current one. */
    if (zr_os_getcwd(zr_saved_cwd, sizeof zr_saved_cwd) != 0)
        return -1;
    std::memcpy(dir, oldpath, folder);
    dir[folder] = '\0';
    if (zr_os_chdir(dir) != 0)
        return -1;
    int r = utf8rename(oldpath + folder, newpath + folder);
    int saved = zr_os_errno();
    zr_os_chdir(zr_saved_cwd);
    zr_os_set_errno(saved);
    return r;
}

/* Clean-up that keeps the error value of the step that failed. */
void close_keeping(int fd)
{
    int saved = zr_os_errno();
    utf8close(fd);
    zr_os_set_errno(saved);
}

int move_by_copy(const char *oldpath, const char *newpath, const struct stat &old_st)
{
    if (zr_os_stat_kind(&old_st) == 2) {
        zr_os_set_errno(EISDIR);
        return -1;
    }
    /* A pipe or a device has no content to copy (and reading one could wait forever). */
    if (zr_os_stat_kind(&old_st) != 1) {
        zr_os_set_errno(EINVAL);
        return -1;
    }
    struct stat new_st;
    int kind = zri_utf8_kind(newpath, &new_st);
    if (kind < 0)
        return -1;
    if (kind == 2) {
        zr_os_set_errno(EISDIR);
        return -1;
    }
    if (kind > 0 && zr_os_same_file(&old_st, &new_st))
        return 0;

    int in = utf8open(oldpath, READ_FLAGS);
    if (in < 0)
        return -1;
    zri_target target;
    int out = zri_target_open(&target, newpath, "move", MOVE_MODE);
    if (out < 0) {
        close_keeping(in);
        return -1;
    }
    char piece[COPY_PIECE];
    bool ok = true;
    for (;;) {
        int n = utf8read(in, piece, sizeof piece);
        if (n == 0)
            break;
        if (n < 0 || utf8write(out, piece, static_cast<unsigned>(n)) != n) {
            ok = false;
            break;
        }
    }
    if (!ok) {
        close_keeping(in);
        close_keeping(out);
        zri_target_finish(&target, ZRI_TARGET_DROP);
        return -1;
    }
    utf8close(in);
    if (utf8close(out) != 0) {
        zri_target_finish(&target, ZRI_TARGET_DROP);
        return -1;
    }
    if (zri_target_finish(&target, ZRI_TARGET_KEEP) != 0)
        return -1;
    utf8unlink(oldpath);
    return 0;
}

} // namespace

extern "C" {

int zr_rename(const char *oldpath, const char *newpath)
{
    if (oldpath == nullptr || newpath == nullptr) {
        zr_os_set_errno(EINVAL);
        return -1;
    }
    struct stat st;
    if (utf8stat(oldpath, &st) != 0)
        return -1;
    size_t old_folder = folder_length(oldpath);
    size_t new_folder = folder_length(newpath);
    if (old_folder == new_folder && std::memcmp(oldpath, newpath, old_folder) == 0)
        return rename_in_folder(oldpath, newpath, old_folder);
    return move_by_copy(oldpath, newpath, st);
}

} // extern "C"
