// The extended attributes that travel with a copy on POSIX systems, its
// POSIX ACLs among them: Linux stores a file's ACLs as the attributes
// system.posix_acl_access and (on a directory) system.posix_acl_default,
// so carrying the attributes carries the ACLs without an ACL library.
//
// Linux-specific: the *xattr calls of <sys/xattr.h> (macOS spells them with
// other arguments; elsewhere nothing is carried), and /proc/self/fd to
// reach a file opened only as a path.
#include "platform/posix/posix_config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>
#if CALVENTO_HAVE_XATTR
#include <sys/xattr.h>
#endif

#include "platform/posix/posix_internal.h"

namespace {

constexpr const char* ACCESS_ACL = "system.posix_acl_access";

}  // namespace

mode_t posix_without_acl(mode_t bits, const std::string& acl)
{
    // The attribute's form: a little-endian version word (2), then entries
    // of a 16-bit tag, 16-bit permissions and a 32-bit id.
    constexpr unsigned USER_OBJ = 0x01, USER = 0x02, GROUP_OBJ = 0x04, GROUP = 0x08, MASK = 0x10, OTHER = 0x20;
    const auto word = [&](std::size_t at, std::size_t size) {
        unsigned value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= static_cast<unsigned>(static_cast<unsigned char>(acl[at + i])) << (8 * i);
        return value;
    };
    const mode_t owner_only = bits & ~static_cast<mode_t>(077);
    if (acl.size() < 4 || (acl.size() - 4) % 8 != 0 || word(0, 4) != 2)
        return owner_only;   // not an ACL this code can read: nobody but the owner
    unsigned group = 0, others = 0, mask = 7, named_users = 7, named_groups = 7;
    for (std::size_t at = 4; at < acl.size(); at += 8) {
        const unsigned allowed = word(at + 2, 2) & 7;
        switch (word(at, 2)) {
        case USER_OBJ: break;
        case USER: named_users &= allowed; break;
        case GROUP_OBJ: group = allowed; break;
        case GROUP: named_groups &= allowed; break;
        case MASK: mask = allowed; break;
        case OTHER: others = allowed; break;
        default: return owner_only;
        }
    }
    // Without the ACL the users and groups it names fall under the group's
    // or the others' bits: those grant no more than each of them had.
    named_users &= mask;
    named_groups &= mask;
    const unsigned limit = 0700 | (group & mask & named_users) << 3 | (others & named_users & named_groups);
    return (bits & ~static_cast<mode_t>(0777)) | (bits & limit);
}

#if !CALVENTO_HAVE_XATTR

int posix_carry_attributes(posix_node_t, posix_node_t, bool (*)(void*), void*, bool*, std::string*)
{
    return 0;
}

std::string posix_access_acl(posix_node_t)
{
    return {};
}

#else

namespace {

constexpr const char* DEFAULT_ACL = "system.posix_acl_default";

// The name under which /proc reaches the file open as `fd`; the calls
// given it follow that link, to the file itself.
std::string proc_name(int fd)
{
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return name;
}

ssize_t list_of(posix_node_t node, char* names, std::size_t size)
{
    return node.path_only ? listxattr(proc_name(node.fd).c_str(), names, size) : flistxattr(node.fd, names, size);
}

ssize_t get_of(posix_node_t node, const char* name, void* value, std::size_t size)
{
    return node.path_only ? getxattr(proc_name(node.fd).c_str(), name, value, size)
                          : fgetxattr(node.fd, name, value, size);
}

int set_of(posix_node_t node, const std::string& name, const std::string& value)
{
    return node.path_only ? setxattr(proc_name(node.fd).c_str(), name.c_str(), value.data(), value.size(), 0)
                          : fsetxattr(node.fd, name.c_str(), value.data(), value.size(), 0);
}

int remove_of(posix_node_t node, const std::string& name)
{
    return node.path_only ? removexattr(proc_name(node.fd).c_str(), name.c_str())
                          : fremovexattr(node.fd, name.c_str());
}

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool is_acl(const std::string& name)
{
    return name == ACCESS_ACL || name == DEFAULT_ACL;
}

// The attributes a copy carries: the user namespace and the ACLs always;
// security and trusted only on a privileged run, which alone may read and
// set all of them.
bool carried(const std::string& name)
{
    if (starts_with(name, "user.") || is_acl(name))
        return true;
    return posix_privileged() && (starts_with(name, "trusted.") || starts_with(name, "security."));
}

// Whether a copy loses the attribute `name` where its source lacks it. The
// security labels that the destination's own system gives its files stay;
// a file capability goes, as it would grant what the source does not.
bool removed_when_absent(const std::string& name)
{
    return carried(name) && (!starts_with(name, "security.") || name == "security.capability");
}

// A refusal that says the destination does not keep such an attribute:
// none at all (FUSE servers may answer ENOSYS), or not this namespace.
bool not_kept(int error)
{
    return error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS || error == EPERM;
}

using attributes_t = std::vector<std::pair<std::string, std::string>>;

const std::string* find_in(const attributes_t& attributes, const std::string& name)
{
    for (const auto& [have, value] : attributes) {
        if (have == name)
            return &value;
    }
    return nullptr;
}

// The value of the attribute `name` of `node` into `value`: 1, 0 where it
// has none, -1 on failure.
int read_value(posix_node_t node, const char* name, std::string* value)
{
    // A value that grows between the two calls is asked again (ERANGE).
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = get_of(node, name, nullptr, 0);
        if (size < 0)
            return errno == ENODATA || errno == EOPNOTSUPP || errno == ENOTSUP ? 0 : -1;
        value->resize(static_cast<std::size_t>(size));
        const ssize_t got = get_of(node, name, value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<std::size_t>(got));
            return 1;
        }
        if (errno == ENODATA)
            return 0;   // gone since it was asked
        if (errno != ERANGE)
            return -1;
    }
    errno = EAGAIN;
    return -1;
}

// The attributes of `node` that a copy carries, by name with their values;
// none on a file system without them. False on failure.
bool read_attributes(posix_node_t node, attributes_t* attributes)
{
    std::vector<char> names;
    for (int attempt = 0;; ++attempt) {
        const ssize_t size = list_of(node, nullptr, 0);
        if (size < 0 && (errno == EOPNOTSUPP || errno == ENOTSUP))
            return true;
        if (size <= 0)
            return size == 0;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = list_of(node, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE || attempt == 8)   // ERANGE: one was added meanwhile
            return false;
    }
    names.push_back('\0');   // the list ends with one; a short answer cannot run past the end
    for (std::size_t at = 0; at + 1 < names.size(); at += std::strlen(names.data() + at) + 1) {
        std::string name = names.data() + at;
        if (name.empty() || !carried(name))
            continue;
        std::string value;
        const int found = read_value(node, name.c_str(), &value);
        if (found < 0)
            return false;
        if (found > 0)
            attributes->emplace_back(std::move(name), std::move(value));
    }
    return true;
}

}  // namespace

std::string posix_access_acl(posix_node_t like)
{
    std::string acl;
    return read_value(like, ACCESS_ACL, &acl) > 0 ? acl : std::string();
}

int posix_carry_attributes(posix_node_t node, posix_node_t like, bool (*open_up)(void* context), void* context,
                           bool* changed, std::string* lost_acl)
{
    attributes_t wanted;
    attributes_t present;
    if (!read_attributes(like, &wanted) || !read_attributes(node, &present))
        return -1;
    bool opened = false;
    const auto change = [&](auto make) {
        int result = make();
        if (result != 0 && errno == EACCES && !opened && open_up != nullptr && open_up(context)) {
            opened = true;
            result = make();
        }
        if (result == 0)
            *changed = true;
        return result;
    };
    int outcome = 0;
    // The other attributes first, then the ACLs, which change the bits
    // that the caller gives last.
    for (const bool acls : {false, true}) {
        for (const auto& entry : wanted) {
            const std::string& name = entry.first;
            const std::string& value = entry.second;
            const std::string* had = find_in(present, name);
            if (is_acl(name) != acls || (had != nullptr && *had == value))
                continue;
            if (change([&] { return set_of(node, name, value); }) == 0)
                continue;
            // A label that the destination's own system will not take is
            // its business, as is an attribute it does not keep.
            if (!not_kept(errno) && !(starts_with(name, "security.") && name != "security.capability"))
                return -1;
            outcome = 1;
            if (name == ACCESS_ACL)
                *lost_acl = value;
        }
        for (const auto& entry : present) {
            const std::string& name = entry.first;
            if (is_acl(name) != acls || find_in(wanted, name) != nullptr || !removed_when_absent(name))
                continue;
            if (change([&] { return remove_of(node, name); }) == 0 || errno == ENODATA)
                continue;
            // An ACL that stays on the copy could grant what its source
            // does not: that is a failure, not a notice.
            if (is_acl(name) || !not_kept(errno))
                return -1;
            outcome = 1;
        }
    }
    return outcome;
}

#endif
