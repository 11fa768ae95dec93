#include "support/scoped_tmpfs.h"

#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <sys/statvfs.h>

ScopedTmpfs::ScopedTmpfs(const std::string& where, const char* options)
    : where_(where)
{
    mounted_ = mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
    if (!mounted_)
        error_ = std::strerror(errno);
}

ScopedTmpfs::~ScopedTmpfs()
{
    if (mounted_ && umount(where_.c_str()) != 0)
        umount2(where_.c_str(), MNT_DETACH);
}

std::uint64_t ScopedTmpfs::room() const
{
    struct statvfs info;
    if (statvfs(where_.c_str(), &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool ScopedTmpfs::make_read_only()
{
    return mounted_ && mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}
