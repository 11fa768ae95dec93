// A scratch directory for one test, removed afterwards.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // Absolute path of `relative` inside the tree (the root for "").
    std::string path(const std::string& relative = "") const;

    // Creates a file (and its parent directories) with these bytes.
    void file(const std::string& relative, const std::string& bytes = "");
    void dir(const std::string& relative);
    void link(const std::string& relative, const std::string& target);
    // A second name for the file `existing`, both below the tree.
    void hard_link(const std::string& existing, const std::string& relative);
    void fifo(const std::string& relative);

    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;   // without following a link
    bool is_dir(const std::string& relative) const;
    // Sorted names in a directory, dot names included.
    std::vector<std::string> names(const std::string& relative) const;

    void set_mtime(const std::string& relative, std::time_t when);
    std::time_t mtime(const std::string& relative) const;
    void set_mode(const std::string& relative, unsigned mode);
    unsigned mode(const std::string& relative) const;   // permission bits

  private:
    std::string root_;
};

// A calendar time for a local date and time, and the local date and time
// of a calendar time.
std::time_t local_moment(int year, int month, int day, int hour, int minute, int second);
std::tm local_calendar(std::time_t when);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// Names of a directory in the order the file system delivers them, without
// "." and ".." but with every other dot name; empty when it cannot be read.
std::vector<std::string> delivered_names(const std::string& path);

// Names of a directory in the order the file system delivers them, without
// dot names: the order in which a run lists them.
std::vector<std::string> delivery_order(const std::string& path);
