/*
 * slowfs: a pass-through file system that makes every metadata operation
 * wait a fixed delay, standing in for a file server on a local network.
 *
 *     slowfs BACKING MOUNTPOINT [-o delay_us=500] [-o entry_timeout=0,attr_timeout=0]
 *            [-o touch_on_close] [-o fold_case] [-o repeat=NAME] [-o max_threads=10]
 *            [-f] [-d]
 *
 * Without -f it returns once the mount is in place and serves it in the
 * background; `fusermount3 -u MOUNTPOINT` ends it.
 *
 * Every request that asks about or changes names and attributes (lookup,
 * getattr, setattr, access, readlink, readdir per call, mknod, mkdir,
 * symlink, link, unlink, rmdir, rename, create, open, opendir, flush, fsync,
 * statfs) sleeps delay_us microseconds, then runs against BACKING. Reads and
 * writes of data pass through at once: the delay models the round trip of a
 * small request, not the bandwidth of the wire. Requests are served by a
 * pool of threads, so that requests issued at the same time wait their
 * delays side by side, as they would on a network with several requests in
 * flight.
 *
 * The kernel is asked to cache nothing by default (entry and attribute
 * timeouts of zero), so that every lookup and stat reaches this program and
 * pays its delay. A real client caches more: an NFS client keeps attributes
 * for 3 to 60 seconds (acregmin..acdirmax) and names likewise, revalidating
 * on open (close-to-open consistency); an SMB client keeps them for about
 * one second. The timeouts can be raised to imitate that.
 *
 * Two options make it misbehave as some destinations and servers do, for
 * the tests:
 *
 * fold_case: names are found without regard to letter case and kept as
 * first written, as on FAT or an SMB share. Only the ASCII letters A-Z and
 * a-z fold; other bytes, UTF-8 letters included, must match exactly. A
 * name that the backing directory lacks as written finds the entry whose
 * name differs from it only in case (the first in listing order, should the
 * backing directory hold several, made outside the mount). Every request
 * that takes a name finds its entry so: lookup, unlink and rmdir; create,
 * mknod, mkdir, symlink and link then act on the existing entry (EEXIST, or
 * a create without O_EXCL opens the existing file under its old spelling);
 * rename takes both its names so, and a rename onto a name that folds to
 * another entry replaces that entry, which keeps its stored spelling, while
 * a rename that changes only the case of a name gives it the new spelling.
 * Listings show the stored spellings. The kernel keeps no names between
 * requests with entry_timeout=0 (the default); with a positive timeout its
 * cache answers for a spelling it has seen, found or missing, as a real
 * client's cache does. Requests that take names are served one at a time
 * (their delays still overlap), so that two spellings of one new name
 * cannot both come into being; a name missing as written costs a listing
 * of its directory, so this is for small trees.
 *
 * repeat=NAME: every listing that holds an entry called NAME (exactly)
 * delivers it twice, once in its place and once more at the end, as a
 * server does that loses its place in a long listing and sends part of it
 * again. These listings are read whole when the directory is opened and
 * handed out from memory, with offsets that count entries; a comma in NAME
 * is written "\,".
 *
 * Left out, as on many network file systems: unnamed temporary files
 * (without a tmpfile operation the kernel answers O_TMPFILE with
 * EOPNOTSUPP), copy_file_range (the kernel copies through its own fallback
 * or refuses, and callers copy through read and write), extended attributes
 * and SEEK_DATA/SEEK_HOLE.
 *
 * Runs as root (file handles need CAP_DAC_READ_SEARCH), mounted with
 * allow_other. Permissions are checked here, by the backing file system
 * under the caller's ids, not by the kernel: default_permissions would add
 * a GETATTR of every directory a path goes through, since attributes are
 * never cached. Built by bench/Makefile (pkg-config fuse3).
 */
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)
#define _GNU_SOURCE

#include <fuse_lowlevel.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

/* One backing inode the kernel knows, named by its file handle. A handle
 * holds no descriptor (a tree of 100,000 files would need as many) and
 * carries the inode's generation, so a handle of a deleted file goes stale
 * instead of reaching a new file that took its inode number.
 *
 * With fold_case a node stands for a path instead, the parent node and the
 * name as the kernel asked for it, as in a FUSE file system that keeps a
 * node per name: "Docs" and "docs" are two inodes to the kernel. It skips a
 * rename between two names of one inode (a change of case would never come
 * here), and it keeps one place for a directory: had both spellings of a
 * parent led to one node of a child directory, the kernel would move that
 * child between them, and refuse (ESTALE) when a rename holds its lock.
 * stat still shows one file: the inode number is the backing inode's. */
struct node {
    uint64_t nlookup; /* references the kernel holds; freed at zero */
    size_t hash;
    struct node *next;
    fuse_ino_t parent; /* fold_case: the path, parent and name; */
    char *name;        /* NULL once the path leads elsewhere */
    struct file_handle handle; /* followed by handle.handle_bytes bytes */
};

struct any_handle {
    struct file_handle handle;
    unsigned char bytes[MAX_HANDLE_SZ];
};

static struct {
    unsigned delay_us;
    double entry_timeout;
    double attr_timeout;
    int touch_on_close;
    int fold_case;
    char *repeat;
    char *backing;
} opt = {500, 0.0, 0.0, 0, 0, NULL, NULL};

#define BUCKETS 65536
static struct node *table[BUCKETS];
static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
static int root_fd = -1;  /* O_PATH, the backing directory: the root node */
static int mount_fd = -1; /* the backing directory, for open_by_handle_at */

/* The round trip of one request. */
static void delay(void)
{
    if (opt.delay_us == 0)
        return;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += (long)opt.delay_us * 1000;
    until.tv_sec += until.tv_nsec / 1000000000;
    until.tv_nsec %= 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR)
        ;
}

/* The operation itself runs with the caller's file system ids: the backing
 * file system checks permissions and gives new names their owner, as a
 * file server does with the ids a client sends. The ids are per thread.
 * Supplementary groups are not taken over. */
static void as_caller(fuse_req_t req)
{
    const struct fuse_ctx *ctx = fuse_req_ctx(req);
    setfsgid(ctx->gid);
    setfsuid(ctx->uid);
}

static void as_self(void)
{
    setfsuid(geteuid());
    setfsgid(getegid());
}

/* An O_PATH descriptor of a node, opened with this program's own ids (a
 * file handle needs a privilege that the caller's ids drop); -1 with errno
 * (ESTALE for a deleted file) when there is none. */
static int node_fd(fuse_ino_t ino)
{
    if (ino == FUSE_ROOT_ID)
        return root_fd;
    struct node *n = (struct node *)(uintptr_t)ino;
    return open_by_handle_at(mount_fd, &n->handle, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

static void drop_fd(int fd)
{
    if (fd >= 0 && fd != root_fd)
        close(fd);
}

/* Delays, opens the node's descriptor and takes the caller's ids: the
 * common start of a request. Replies with the error and gives -1 when the
 * node is gone; end_request undoes the rest. */
static int begin_request(fuse_req_t req, fuse_ino_t ino)
{
    delay();
    int fd = node_fd(ino);
    if (fd < 0)
        fuse_reply_err(req, errno);
    else
        as_caller(req);
    return fd;
}

static void end_request(int fd)
{
    as_self();
    drop_fd(fd);
}

/* A name for a descriptor that open, chmod and truncate can follow; works
 * for O_PATH descriptors too. */
static void proc_path(char *buf, size_t size, int fd)
{
    snprintf(buf, size, "/proc/self/fd/%d", fd);
}

/* fold_case: serves the requests that take names one at a time. */
static pthread_mutex_t names_lock = PTHREAD_MUTEX_INITIALIZER;

static void lock_names(void)
{
    if (opt.fold_case)
        pthread_mutex_lock(&names_lock);
}

static void unlock_names(void)
{
    if (opt.fold_case)
        pthread_mutex_unlock(&names_lock);
}

static int same_but_case(const char *a, const char *b)
{
    for (;; a++, b++) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'A' && x <= 'Z')
            x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z')
            y += 'a' - 'A';
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
    }
}

/* The spelling under which the directory `dir` holds `name`: `name` itself
 * when it is there as written, or without fold_case, or when nothing
 * matches; else the first entry in listing order that differs from it only
 * in case, copied into `out` (NAME_MAX + 1 bytes). Called with the caller's
 * ids, which it keeps; the search lists the directory with this program's
 * own, since a folding file system needs only search permission to find a
 * name, as any other does. */
static const char *stored_name(fuse_req_t req, int dir, const char *name, char *out)
{
    struct stat st;
    if (!opt.fold_case || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return name;
    as_self();
    const char *found = name;
    int list = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *stream = list < 0 ? NULL : fdopendir(list);
    if (stream == NULL && list >= 0)
        close(list);
    struct dirent *entry;
    while (stream != NULL && (entry = readdir(stream)) != NULL) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
            same_but_case(entry->d_name, name)) {
            snprintf(out, NAME_MAX + 1, "%s", entry->d_name);
            found = out;
            break;
        }
    }
    if (stream != NULL)
        closedir(stream);
    as_caller(req);
    return found;
}

static size_t hash_of(const struct file_handle *h)
{
    size_t x = 1469598103934665603u ^ (size_t)h->handle_type;
    for (unsigned i = 0; i < h->handle_bytes; i++)
        x = (x ^ h->f_handle[i]) * 1099511628211u;
    return x;
}

static size_t hash_of_path(fuse_ino_t parent, const char *name)
{
    size_t x = 1469598103934665603u ^ (size_t)parent;
    for (; *name != '\0'; name++)
        x = (x ^ (unsigned char)*name) * 1099511628211u;
    return x;
}

static int same_handle(const struct node *n, const struct file_handle *h)
{
    return n->handle.handle_type == h->handle_type && n->handle.handle_bytes == h->handle_bytes &&
           memcmp(n->handle.f_handle, h->f_handle, h->handle_bytes) == 0;
}

/* The following work on the table and need table_lock. */

static struct node *find_by_handle(const struct file_handle *h)
{
    size_t hash = hash_of(h);
    struct node *n = table[hash % BUCKETS];
    while (n != NULL && (n->hash != hash || !same_handle(n, h)))
        n = n->next;
    return n;
}

static struct node *find_by_path(fuse_ino_t parent, const char *name)
{
    size_t hash = hash_of_path(parent, name);
    struct node *n = table[hash % BUCKETS];
    while (n != NULL &&
           (n->hash != hash || n->name == NULL || n->parent != parent || strcmp(n->name, name) != 0))
        n = n->next;
    return n;
}

static void insert(struct node *n, size_t hash)
{
    n->hash = hash;
    n->next = table[hash % BUCKETS];
    table[hash % BUCKETS] = n;
}

static void take_out(struct node *n)
{
    struct node **p = &table[n->hash % BUCKETS];
    while (*p != n)
        p = &(*p)->next;
    *p = n->next;
}

/* fold_case: the node now stands for another path, or for none (`name`
 * NULL, or no memory for it): it stays until the kernel forgets it. */
static void move_path(struct node *n, fuse_ino_t parent, const char *name)
{
    char *copy = name == NULL ? NULL : strdup(name);
    free(n->name);
    n->name = copy;
    n->parent = parent;
    take_out(n);
    insert(n, copy == NULL ? n->hash : hash_of_path(parent, copy));
}

/* Finds or makes the node of `name` in the directory `dir`, the node
 * `parent`, asked for as `asked` (with fold_case, `name` may be spelled
 * otherwise), and fills the entry the kernel is given; counts one more
 * kernel reference. Returns 0 or an errno. */
static int make_entry(fuse_ino_t parent, int dir, const char *asked, const char *name,
                      struct fuse_entry_param *e)
{
    memset(e, 0, sizeof *e);
    struct any_handle h = {.handle.handle_bytes = MAX_HANDLE_SZ};
    int mount_id;
    int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    if (fstatat(fd, "", &e->attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0 ||
        name_to_handle_at(fd, "", &h.handle, &mount_id, AT_EMPTY_PATH) != 0)
        err = errno;
    close(fd);
    if (err != 0)
        return err;
    pthread_mutex_lock(&table_lock);
    struct node *n;
    if (opt.fold_case) {
        n = find_by_path(parent, asked);
        if (n != NULL && !same_handle(n, &h.handle)) { /* another file took the name */
            move_path(n, 0, NULL);
            n = NULL;
        }
    } else {
        n = find_by_handle(&h.handle); /* through this name or a hard link */
    }
    if (n == NULL) {
        n = malloc(sizeof *n + h.handle.handle_bytes);
        char *path_name = opt.fold_case ? strdup(asked) : NULL;
        if (n == NULL || (opt.fold_case && path_name == NULL)) {
            pthread_mutex_unlock(&table_lock);
            free(n);
            free(path_name);
            return ENOMEM;
        }
        memcpy(&n->handle, &h.handle, sizeof h.handle + h.handle.handle_bytes);
        n->nlookup = 0;
        n->parent = opt.fold_case ? parent : 0;
        n->name = path_name;
        insert(n, opt.fold_case ? hash_of_path(parent, asked) : hash_of(&h.handle));
    }
    n->nlookup++;
    pthread_mutex_unlock(&table_lock);
    e->ino = (fuse_ino_t)(uintptr_t)n;
    e->attr_timeout = opt.attr_timeout;
    e->entry_timeout = opt.entry_timeout;
    return 0;
}

/* fold_case: after a rename, the node of the old path stands for the new
 * one, as the kernel now sees it, and the one the new path had stands for
 * the old path (an exchange) or for none. */
static void renamed(fuse_ino_t parent, const char *name, fuse_ino_t newparent, const char *newname,
                    int exchange)
{
    pthread_mutex_lock(&table_lock);
    struct node *was = find_by_path(parent, name);
    struct node *there = find_by_path(newparent, newname);
    if (was != there) {
        if (there != NULL)
            move_path(there, parent, exchange ? name : NULL);
        if (was != NULL)
            move_path(was, newparent, newname);
    }
    pthread_mutex_unlock(&table_lock);
}

static void forget_one(fuse_ino_t ino, uint64_t count)
{
    if (ino == FUSE_ROOT_ID)
        return;
    struct node *n = (struct node *)(uintptr_t)ino;
    pthread_mutex_lock(&table_lock);
    n->nlookup -= count;
    if (n->nlookup == 0) {
        take_out(n);
        free(n->name);
        free(n);
    }
    pthread_mutex_unlock(&table_lock);
}

static void sf_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup)
{
    forget_one(ino, nlookup);
    fuse_reply_none(req);
}

static void sf_forget_multi(fuse_req_t req, size_t count, struct fuse_forget_data *list)
{
    for (size_t i = 0; i < count; i++)
        forget_one(list[i].ino, list[i].nlookup);
    fuse_reply_none(req);
}

static void reply_entry_or_error(fuse_req_t req, int err, struct fuse_entry_param *e)
{
    if (err != 0)
        fuse_reply_err(req, err);
    else
        fuse_reply_entry(req, e);
}

static void sf_lookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    int dir = begin_request(req, parent);
    if (dir < 0)
        return;
    char stored[NAME_MAX + 1];
    lock_names();
    struct fuse_entry_param e;
    int err = make_entry(parent, dir, name, stored_name(req, dir, name, stored), &e);
    unlock_names();
    end_request(dir);
    reply_entry_or_error(req, err, &e);
}

static void reply_attr_of(fuse_req_t req, int fd)
{
    struct stat st;
    if (fstatat(fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_attr(req, &st, opt.attr_timeout);
}

static void sf_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    reply_attr_of(req, fd);
    end_request(fd);
}

static int set_attributes(int fd, struct stat *attr, int to_set, struct fuse_file_info *fi)
{
    char path[64];
    proc_path(path, sizeof path, fd);
    if ((to_set & FUSE_SET_ATTR_MODE) &&
        (fi ? fchmod((int)fi->fh, attr->st_mode) : chmod(path, attr->st_mode)) != 0)
        return -1;
    if (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        uid_t uid = (to_set & FUSE_SET_ATTR_UID) ? attr->st_uid : (uid_t)-1;
        gid_t gid = (to_set & FUSE_SET_ATTR_GID) ? attr->st_gid : (gid_t)-1;
        if (fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
    }
    if ((to_set & FUSE_SET_ATTR_SIZE) &&
        (fi ? ftruncate((int)fi->fh, attr->st_size) : truncate(path, attr->st_size)) != 0)
        return -1;
    if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
        struct timespec tv[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (to_set & FUSE_SET_ATTR_ATIME_NOW)
            tv[0].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_ATIME)
            tv[0] = attr->st_atim;
        if (to_set & FUSE_SET_ATTR_MTIME_NOW)
            tv[1].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_MTIME)
            tv[1] = attr->st_mtim;
        /* By the O_PATH descriptor itself, so that links keep their own times. */
        if ((fi ? futimens((int)fi->fh, tv)
                : utimensat(fd, "", tv, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW)) != 0)
            return -1;
    }
    return 0;
}

static void sf_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                       struct fuse_file_info *fi)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    if (set_attributes(fd, attr, to_set, fi) != 0)
        fuse_reply_err(req, errno);
    else
        reply_attr_of(req, fd);
    end_request(fd);
}

static void sf_access(fuse_req_t req, fuse_ino_t ino, int mask)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    int res = faccessat(fd, "", mask, AT_EACCESS | AT_EMPTY_PATH);
    fuse_reply_err(req, res == 0 ? 0 : errno);
    end_request(fd);
}

static void sf_readlink(fuse_req_t req, fuse_ino_t ino)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    char buf[PATH_MAX + 1];
    ssize_t len = readlinkat(fd, "", buf, sizeof buf);
    end_request(fd);
    if (len < 0)
        fuse_reply_err(req, errno);
    else if (len >= (ssize_t)sizeof buf)
        fuse_reply_err(req, ENAMETOOLONG);
    else {
        buf[len] = '\0';
        fuse_reply_readlink(req, buf);
    }
}

/* mknod, mkdir and symlink: a symlink when `link` is given, else by `mode`. */
static void make_node(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                      dev_t rdev, const char *link)
{
    int dir = begin_request(req, parent);
    if (dir < 0)
        return;
    char stored[NAME_MAX + 1];
    lock_names();
    const char *asked = name;
    name = stored_name(req, dir, name, stored);
    int res;
    if (link != NULL)
        res = symlinkat(link, dir, name);
    else if (S_ISDIR(mode))
        res = mkdirat(dir, name, mode);
    else
        res = mknodat(dir, name, mode, rdev);
    struct fuse_entry_param e;
    int err = res == 0 ? make_entry(parent, dir, asked, name, &e) : errno;
    unlock_names();
    end_request(dir);
    reply_entry_or_error(req, err, &e);
}

static void sf_mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev)
{
    make_node(req, parent, name, mode, rdev, NULL);
}

static void sf_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode)
{
    make_node(req, parent, name, S_IFDIR | mode, 0, NULL);
}

static void sf_symlink(fuse_req_t req, const char *link, fuse_ino_t parent, const char *name)
{
    make_node(req, parent, name, S_IFLNK, 0, link);
}

static void sf_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char *name)
{
    int fd = node_fd(ino);
    int dir = fd < 0 ? -1 : begin_request(req, parent);
    if (fd < 0 || dir < 0) {
        if (fd < 0)
            fuse_reply_err(req, errno);
        drop_fd(fd);
        return;
    }
    char stored[NAME_MAX + 1];
    lock_names();
    const char *asked = name;
    name = stored_name(req, dir, name, stored);
    struct fuse_entry_param e;
    int err = linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0 ? make_entry(parent, dir, asked, name, &e)
                                                             : errno;
    unlock_names();
    end_request(dir);
    drop_fd(fd);
    reply_entry_or_error(req, err, &e);
}

static void remove_name(fuse_req_t req, fuse_ino_t parent, const char *name, int flags)
{
    int dir = begin_request(req, parent);
    if (dir < 0)
        return;
    char stored[NAME_MAX + 1];
    lock_names();
    int res = unlinkat(dir, stored_name(req, dir, name, stored), flags);
    int err = res == 0 ? 0 : errno;
    unlock_names();
    fuse_reply_err(req, err);
    end_request(dir);
}

static void sf_unlink(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    remove_name(req, parent, name, 0);
}

static void sf_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    remove_name(req, parent, name, AT_REMOVEDIR);
}

static int same_directory(int a, int b)
{
    struct stat x, y;
    return fstatat(a, "", &x, AT_EMPTY_PATH) == 0 && fstatat(b, "", &y, AT_EMPTY_PATH) == 0 &&
           x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

static void sf_rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newparent,
                      const char *newname, unsigned int flags)
{
    if (flags & ~(RENAME_NOREPLACE | RENAME_EXCHANGE)) {
        fuse_reply_err(req, EINVAL); /* no whiteouts: there are no overlays here */
        return;
    }
    int to = node_fd(newparent);
    int from = to < 0 ? -1 : begin_request(req, parent);
    if (to < 0 || from < 0) {
        if (to < 0)
            fuse_reply_err(req, errno);
        drop_fd(to);
        return;
    }
    char stored_from[NAME_MAX + 1], stored_to[NAME_MAX + 1];
    lock_names();
    const char *old = stored_name(req, from, name, stored_from);
    const char *target = stored_name(req, to, newname, stored_to);
    /* Both names found one entry: only the case changes, and the entry
     * takes the new spelling. */
    if (strcmp(old, target) == 0 && same_directory(from, to))
        target = newname;
    int res = renameat2(from, old, to, target, flags);
    int err = res == 0 ? 0 : errno;
    if (res == 0 && opt.fold_case)
        renamed(parent, name, newparent, newname, (flags & RENAME_EXCHANGE) != 0);
    unlock_names();
    fuse_reply_err(req, err);
    end_request(from);
    drop_fd(to);
}

/* Opens the backing file again, for reading and writing, through its
 * O_PATH descriptor. */
static void sf_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    char path[64];
    proc_path(path, sizeof path, fd);
    int file = open(path, (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC);
    end_request(fd);
    if (file < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fi->fh = (uint64_t)file;
    fuse_reply_open(req, fi);
}

static void sf_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
                      struct fuse_file_info *fi)
{
    int dir = begin_request(req, parent);
    if (dir < 0)
        return;
    char stored[NAME_MAX + 1];
    lock_names();
    const char *asked = name;
    name = stored_name(req, dir, name, stored);
    int file = openat(dir, name, (fi->flags | O_CREAT) & ~O_NOFOLLOW, mode);
    struct fuse_entry_param e;
    int err = file < 0 ? errno : make_entry(parent, dir, asked, name, &e);
    unlock_names();
    end_request(dir);
    if (err != 0) {
        if (file >= 0)
            close(file);
        fuse_reply_err(req, err);
        return;
    }
    fi->fh = (uint64_t)file;
    fuse_reply_create(req, &e, fi);
}

static void sf_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi)
{
    struct fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
    buf.buf[0].flags = FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK;
    buf.buf[0].fd = (int)fi->fh;
    buf.buf[0].pos = off;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

static void sf_write_buf(fuse_req_t req, fuse_ino_t ino, struct fuse_bufvec *in, off_t off,
                         struct fuse_file_info *fi)
{
    struct fuse_bufvec out = FUSE_BUFVEC_INIT(fuse_buf_size(in));
    out.buf[0].flags = FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK;
    out.buf[0].fd = (int)fi->fh;
    out.buf[0].pos = off;
    ssize_t res = fuse_buf_copy(&out, in, 0);
    if (res < 0)
        fuse_reply_err(req, (int)-res);
    else
        fuse_reply_write(req, (size_t)res);
}

/* close() waits for FLUSH, not for RELEASE (which the kernel sends without
 * waiting), so the round trip of a close is charged here. */
static void sf_flush(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    delay();
    /* touch_on_close: like some file servers, give a file that was open for
     * writing the time of its closing, whatever time its writer set. */
    if (opt.touch_on_close && (fcntl((int)fi->fh, F_GETFL) & O_ACCMODE) != O_RDONLY)
        futimens((int)fi->fh, NULL);
    /* Closing a duplicate reports the write errors that close would. */
    int copy = dup((int)fi->fh);
    fuse_reply_err(req, copy >= 0 && close(copy) == 0 ? 0 : errno);
}

static void sf_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    close((int)fi->fh);
    fuse_reply_err(req, 0);
}

static void sf_fsync(fuse_req_t req, fuse_ino_t ino, int datasync, struct fuse_file_info *fi)
{
    delay();
    int res = datasync ? fdatasync((int)fi->fh) : fsync((int)fi->fh);
    fuse_reply_err(req, res == 0 ? 0 : errno);
}

/* One entry of a listing read whole. */
struct listed {
    ino_t ino;
    unsigned char type;
    char *name;
};

/* An open directory: the stream, where the kernel's offset stands, and an
 * entry read but not yet delivered because the reply was full; with
 * repeat=NAME, the whole listing instead, in which an offset is the number
 * of entries before it. */
struct dir {
    DIR *stream;
    off_t offset;
    struct dirent *pending;
    struct listed *entries;
    size_t count;
};

static void free_listing(struct dir *d)
{
    for (size_t i = 0; i < d->count; i++)
        free(d->entries[i].name);
    free(d->entries);
}

static int add_listed(struct dir *d, size_t *room, ino_t ino, unsigned char type, const char *name)
{
    if (d->count == *room) {
        size_t more = *room == 0 ? 64 : 2 * *room;
        struct listed *bigger = realloc(d->entries, more * sizeof *bigger);
        if (bigger == NULL)
            return ENOMEM;
        d->entries = bigger;
        *room = more;
    }
    char *copy = strdup(name);
    if (copy == NULL)
        return ENOMEM;
    d->entries[d->count++] = (struct listed){ino, type, copy};
    return 0;
}

/* repeat=NAME: reads the whole listing, NAME once more at its end. Returns
 * 0 or an errno. */
static int read_listing(struct dir *d)
{
    size_t room = 0;
    struct dirent again = {.d_ino = 0};
    struct dirent *entry;
    errno = 0;
    while ((entry = readdir(d->stream)) != NULL) {
        if (add_listed(d, &room, entry->d_ino, entry->d_type, entry->d_name) != 0)
            return ENOMEM;
        if (strcmp(entry->d_name, opt.repeat) == 0)
            again = *entry;
        errno = 0;
    }
    if (errno != 0)
        return errno;
    if (again.d_name[0] != '\0')
        return add_listed(d, &room, again.d_ino, again.d_type, again.d_name);
    return 0;
}

static void sf_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    int fd = begin_request(req, ino);
    if (fd < 0)
        return;
    struct dir *d = calloc(1, sizeof *d);
    int list = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int err = d == NULL ? ENOMEM : list < 0 || (d->stream = fdopendir(list)) == NULL ? errno : 0;
    if (err == 0 && opt.repeat != NULL)
        err = read_listing(d);
    end_request(fd);
    if (err != 0) {
        if (d != NULL && d->stream != NULL)
            closedir(d->stream);
        else if (list >= 0)
            close(list);
        if (d != NULL)
            free_listing(d);
        free(d);
        fuse_reply_err(req, err);
        return;
    }
    fi->fh = (uint64_t)(uintptr_t)d;
    fuse_reply_open(req, fi);
}

/* Fills one reply of at most `size` bytes; each call is one round trip. */
static void sf_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi)
{
    delay();
    struct dir *d = (struct dir *)(uintptr_t)fi->fh;
    char *buf = malloc(size);
    if (buf == NULL) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    if (opt.repeat != NULL) {
        size_t used = 0;
        for (size_t i = (size_t)off; i < d->count; i++) {
            struct stat st = {.st_ino = d->entries[i].ino, .st_mode = (mode_t)d->entries[i].type << 12};
            size_t need = fuse_add_direntry(req, buf + used, size - used, d->entries[i].name, &st,
                                            (off_t)(i + 1));
            if (need > size - used)
                break;
            used += need;
        }
        fuse_reply_buf(req, buf, used);
        free(buf);
        return;
    }
    if (off != d->offset) {
        seekdir(d->stream, off);
        d->pending = NULL;
        d->offset = off;
    }
    size_t used = 0;
    int err = 0;
    for (;;) {
        if (d->pending == NULL) {
            errno = 0;
            d->pending = readdir(d->stream);
            if (d->pending == NULL) {
                err = errno;
                break;
            }
        }
        struct stat st = {.st_ino = d->pending->d_ino, .st_mode = (mode_t)d->pending->d_type << 12};
        size_t need = fuse_add_direntry(req, buf + used, size - used, d->pending->d_name, &st,
                                        d->pending->d_off);
        if (need > size - used)
            break; /* keep it for the next call */
        used += need;
        d->offset = d->pending->d_off;
        d->pending = NULL;
    }
    if (err != 0 && used == 0)
        fuse_reply_err(req, err);
    else
        fuse_reply_buf(req, buf, used);
    free(buf);
}

static void sf_releasedir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi)
{
    struct dir *d = (struct dir *)(uintptr_t)fi->fh;
    closedir(d->stream);
    free_listing(d);
    free(d);
    fuse_reply_err(req, 0);
}

static void sf_statfs(fuse_req_t req, fuse_ino_t ino)
{
    delay();
    struct statvfs st;
    if (fstatvfs(root_fd, &st) != 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_statfs(req, &st);
}

static void sf_init(void *userdata, struct fuse_conn_info *conn)
{
    /* Lookups and readdirs of one directory may run side by side. */
    if (conn->capable & FUSE_CAP_PARALLEL_DIROPS)
        conn->want |= FUSE_CAP_PARALLEL_DIROPS;
    /* Writes go through as they come: no write-back cache in the kernel. */
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

static const struct fuse_lowlevel_ops ops = {
    .init = sf_init,
    .lookup = sf_lookup,
    .forget = sf_forget,
    .forget_multi = sf_forget_multi,
    .getattr = sf_getattr,
    .setattr = sf_setattr,
    .access = sf_access,
    .readlink = sf_readlink,
    .mknod = sf_mknod,
    .mkdir = sf_mkdir,
    .symlink = sf_symlink,
    .link = sf_link,
    .unlink = sf_unlink,
    .rmdir = sf_rmdir,
    .rename = sf_rename,
    .open = sf_open,
    .create = sf_create,
    .read = sf_read,
    .write_buf = sf_write_buf,
    .flush = sf_flush,
    .release = sf_release,
    .fsync = sf_fsync,
    .opendir = sf_opendir,
    .readdir = sf_readdir,
    .releasedir = sf_releasedir,
    .statfs = sf_statfs,
};

#define OPTION(text, field) {text, offsetof(__typeof__(opt), field), 0}
static const struct fuse_opt known_options[] = {
    OPTION("delay_us=%u", delay_us),
    OPTION("entry_timeout=%lf", entry_timeout),
    OPTION("attr_timeout=%lf", attr_timeout),
    {"touch_on_close", offsetof(__typeof__(opt), touch_on_close), 1},
    {"fold_case", offsetof(__typeof__(opt), fold_case), 1},
    OPTION("repeat=%s", repeat),
    FUSE_OPT_END,
};

/* The first argument that is not an option names the backing directory;
 * the second, left for fuse_parse_cmdline, the mount point. */
static int take_backing(void *data, const char *arg, int key, struct fuse_args *out)
{
    if (key == FUSE_OPT_KEY_NONOPT && opt.backing == NULL) {
        opt.backing = realpath(arg, NULL);
        if (opt.backing == NULL) {
            fprintf(stderr, "slowfs: %s: %s\n", arg, strerror(errno));
            return -1;
        }
        return 0;
    }
    return 1;
}

int main(int argc, char *argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct fuse_cmdline_opts cmd;
    if (fuse_opt_parse(&args, &opt, known_options, take_backing) != 0 || fuse_parse_cmdline(&args, &cmd) != 0)
        return 1;
    if (cmd.show_help || cmd.show_version || opt.backing == NULL || cmd.mountpoint == NULL) {
        fprintf(stderr, "usage: %s BACKING MOUNTPOINT [-o delay_us=N,entry_timeout=S,attr_timeout=S,"
                        "touch_on_close,fold_case,repeat=NAME,max_threads=N] [-f] [-d]\n", argv[0]);
        return cmd.show_help || cmd.show_version ? 0 : 1;
    }
    if (opt.delay_us > 10000000) {
        fprintf(stderr, "slowfs: delay_us=%u is more than ten seconds\n", opt.delay_us);
        return 1;
    }
    root_fd = open(opt.backing, O_PATH | O_DIRECTORY | O_CLOEXEC);
    mount_fd = open(opt.backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0 || mount_fd < 0) {
        fprintf(stderr, "slowfs: %s: %s\n", opt.backing, strerror(errno));
        return 1;
    }
    /* Modes arrive already masked by the caller's umask; do not mask twice. */
    umask(0);
    /* Sleep as long as asked, not up to 50 microseconds longer; the worker
     * threads inherit this. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    /* Everyone may enter, as on a share; as_caller() takes the caller's ids. */
    fuse_opt_add_arg(&args, "-oallow_other,fsname=slowfs,subtype=slowfs");

    int status = 1;
    struct fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, NULL);
    if (se == NULL)
        goto out;
    if (fuse_set_signal_handlers(se) != 0)
        goto out_session;
    if (fuse_session_mount(se, cmd.mountpoint) != 0)
        goto out_handlers;
    /* Returns in the parent only once mounted: callers may use the mount
     * as soon as the command ends. */
    fuse_daemonize(cmd.foreground);
    if (cmd.singlethread) {
        status = fuse_session_loop(se);
    } else {
        struct fuse_loop_config *config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_clone_fd(config, (unsigned)cmd.clone_fd);
        fuse_loop_cfg_set_max_threads(config, cmd.max_threads);
        status = fuse_session_loop_mt(se, config);
        fuse_loop_cfg_destroy(config);
    }
    fuse_session_unmount(se);
out_handlers:
    fuse_remove_signal_handlers(se);
out_session:
    fuse_session_destroy(se);
out:
    free(cmd.mountpoint);
    fuse_opt_free_args(&args);
    return status ? 1 : 0;
}
