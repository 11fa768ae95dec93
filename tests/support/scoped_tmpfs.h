// A small tmpfs mounted for one test, for a real full disk.
#pragma once

#include <cstdint>
#include <string>

// Mounts a tmpfs with `options` (such as "size=64k") on `where` and unmounts
// it when the test ends. Mounting needs privileges: a test checks mounted()
// and skips with error() when it failed.
class ScopedTmpfs {
  public:
    ScopedTmpfs(const std::string& where, const char* options);
    ~ScopedTmpfs();
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

    // Bytes that a file may still take.
    std::uint64_t room() const;

    // Mounts it again read-only, with what it holds; false when the
    // system refused.
    bool make_read_only();

  private:
    std::string where_;
    bool mounted_ = false;
    std::string error_;
};
