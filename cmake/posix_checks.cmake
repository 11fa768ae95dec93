# What the POSIX layer (src/platform/posix) may use beyond POSIX itself, found
# at configure time. Each call below is used only where it is found; where it
# is missing the layer takes a portable path of its own:
#
#   CALVENTO_HAVE_GETDENTS64      a listing reads many raw entries per call;
#                                 else readdir on a duplicate descriptor
#   CALVENTO_HAVE_O_PATH          a directory that may not be read can still be
#                                 walked through; else opening it is refused
#   CALVENTO_HAVE_O_TMPFILE       copies are written into an unnamed file that
#                                 linkat with AT_EMPTY_PATH names; else into a
#                                 hidden named file that rename puts in place
#   CALVENTO_HAVE_AT_EMPTY_PATH   the calls above act on a descriptor itself;
#                                 else fchown
#   CALVENTO_HAVE_COPY_FILE_RANGE the kernel moves a copy's data; else the
#                                 copy buffer does
#   CALVENTO_HAVE_SEEK_DATA       holes of a sparse file stay holes; else they
#                                 are copied as zeros
#   CALVENTO_HAVE_SYNCFS          a batch of copies is flushed once per file
#                                 system; else with fsync per file
#   CALVENTO_HAVE_RENAMEAT2       a rename refuses to replace; else the name is
#                                 looked at just before
#   CALVENTO_HAVE_STATX_MNT_ID    the mount a descriptor was reached through
#   CALVENTO_HAVE_PROC_SELF       Linux's /proc/self (fd, fdinfo, mountinfo):
#                                 where directories lie across mounts; else
#                                 the overlap check compares identities only
#   CALVENTO_HAVE_STATFS_MAGIC    file system types by statfs magic numbers;
#                                 else the letter case rule is probed and
#                                 every destination is treated as one that
#                                 may reset times and report errors on close
#   CALVENTO_HAVE_CASEFOLD_FLAG   the casefolding flag of ext4 and F2FS
#                                 directories
#   CALVENTO_HAVE_MALLOPT_ARENAS  the GNU allocator's arena limit
#   CALVENTO_HAVE_XATTR           Linux's extended attributes (<sys/xattr.h>):
#                                 copies carry them, their POSIX ACLs among
#                                 them; else only the permission bits
#
# Not switches but spellings, which every POSIX system has in one form:
#   CALVENTO_HAVE_DIRENT_D_TYPE   entries tell their type (else each is asked)
#   CALVENTO_HAVE_STAT_ST_MTIM    the POSIX name of the nanosecond time (else
#                                 st_mtimespec, as macOS spells it)
#
# Linux takes every fast path. CALVENTO_POSIX_GENERIC=ON (the posix-generic
# preset) makes every switch above fail on purpose, so that the paths that
# macOS and the BSDs take are built and tested on Linux too.
option(CALVENTO_POSIX_GENERIC "Build the POSIX layer without any call that only Linux offers" OFF)

set(calvento_posix_switches
  GETDENTS64 O_PATH O_TMPFILE AT_EMPTY_PATH COPY_FILE_RANGE SEEK_DATA SYNCFS RENAMEAT2
  STATX_MNT_ID PROC_SELF STATFS_MAGIC CASEFOLD_FLAG MALLOPT_ARENAS XATTR)

if(WIN32)
  return()
endif()

include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)
include(CheckStructHasMember)

check_struct_has_member("struct dirent" d_type dirent.h CALVENTO_HAVE_DIRENT_D_TYPE LANGUAGE CXX)
check_struct_has_member("struct stat" st_mtim sys/stat.h CALVENTO_HAVE_STAT_ST_MTIM LANGUAGE CXX)

if(CALVENTO_POSIX_GENERIC)
  foreach(switch IN LISTS calvento_posix_switches)
    set(CALVENTO_HAVE_${switch} 0)
  endforeach()
  message(STATUS "POSIX layer: generic, every Linux-only call switched off")
  return()
endif()

check_cxx_symbol_exists(getdents64 dirent.h CALVENTO_HAVE_GETDENTS64)
check_cxx_symbol_exists(O_PATH fcntl.h CALVENTO_HAVE_O_PATH)
check_cxx_symbol_exists(O_TMPFILE fcntl.h CALVENTO_HAVE_O_TMPFILE)
check_cxx_symbol_exists(AT_EMPTY_PATH fcntl.h CALVENTO_HAVE_AT_EMPTY_PATH)
check_cxx_symbol_exists(copy_file_range unistd.h CALVENTO_HAVE_COPY_FILE_RANGE)
check_cxx_symbol_exists(SEEK_DATA unistd.h CALVENTO_HAVE_SEEK_DATA)
check_cxx_symbol_exists(syncfs unistd.h CALVENTO_HAVE_SYNCFS)
check_cxx_source_compiles("
#include <cstdio>
#include <fcntl.h>
int main() { return renameat2(AT_FDCWD, \"a\", AT_FDCWD, \"b\", RENAME_NOREPLACE); }"
  CALVENTO_HAVE_RENAMEAT2)
check_cxx_source_compiles("
#include <fcntl.h>
#include <sys/stat.h>
int main()
{
    struct statx extra;
    return statx(0, \"\", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &extra) == 0 && extra.stx_mnt_id != 0;
}"
  CALVENTO_HAVE_STATX_MNT_ID)
# /proc/self as Linux lays it out; a run still copes where it is not mounted.
check_cxx_source_compiles("
#ifndef __linux__
#error not Linux
#endif
int main() { return 0; }"
  CALVENTO_HAVE_PROC_SELF)
check_cxx_source_compiles("
#include <linux/magic.h>
#include <sys/vfs.h>
int main()
{
    struct statfs info;
    return fstatfs(0, &info) == 0 && info.f_type == EXT4_SUPER_MAGIC;
}"
  CALVENTO_HAVE_STATFS_MAGIC)
check_cxx_source_compiles("
#include <linux/fs.h>
#include <sys/ioctl.h>
int main()
{
    int flags = 0;
    return ioctl(0, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_CASEFOLD_FL) != 0;
}"
  CALVENTO_HAVE_CASEFOLD_FLAG)
check_cxx_source_compiles("
#include <malloc.h>
int main() { return mallopt(M_ARENA_MAX, 2); }"
  CALVENTO_HAVE_MALLOPT_ARENAS)
# Linux's signatures: macOS spells these calls with extra arguments.
check_cxx_source_compiles("
#include <sys/types.h>
#include <sys/xattr.h>
int main()
{
    char value[16];
    return fgetxattr(0, \"user.a\", value, sizeof value) + flistxattr(0, value, sizeof value) +
           fsetxattr(0, \"user.a\", value, 1, 0) + fremovexattr(0, \"user.a\") +
           getxattr(\"a\", \"user.a\", value, sizeof value) + listxattr(\"a\", value, sizeof value) +
           setxattr(\"a\", \"user.a\", value, 1, 0) + removexattr(\"a\", \"user.a\");
}"
  CALVENTO_HAVE_XATTR)
