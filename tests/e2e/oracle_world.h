// The random world of the mirror oracle: seeded trees of files,
// directories, links and pipes written to disk, the changes made between two
// runs, and the options and operands drawn for each run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "e2e/oracle_model.h"

namespace oracle {

// One seeded generator for everything a case draws, in a fixed order.
class rng_t {
  public:
    explicit rng_t(std::uint64_t seed) : engine_(seed) {}
    int below(int n) { return static_cast<int>(engine_() % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    std::mt19937_64& engine() { return engine_; }
    template <typename T, std::size_t N>
    T pick(const T (&items)[N])
    {
        return items[below(static_cast<int>(N))];
    }
    template <typename T>
    const T& pick(const std::vector<T>& items)
    {
        return items[static_cast<std::size_t>(below(static_cast<int>(items.size())))];
    }

  private:
    std::mt19937_64 engine_;
};

struct day_t {
    std::uint32_t date = 0;
    std::string name;
    std::time_t midnight = 0;
};

// Today's packed date, dated-directory name and local midnight.
day_t today();

// Writes a file with these bytes, permission bits and modification time.
void write_file(const std::string& path, const std::string& bytes, unsigned mode, std::int64_t sec, long nsec);

// Writes the entries of `tree` under `root`, parents before children.
void write_tree(const std::string& root, const tree_t& tree);

// The directories other than plain ones that a random tree may hold, for
// the runs without privileges: source directories that cannot be listed, or
// destination directories without their owner's write bit.
enum class odd_dirs_t { locked, sealed };

// Random trees and their changes, with contents, times and modes.
class maker_t {
  public:
    maker_t(rng_t* rng, const std::string& outside);

    // A tree of `entries` random top-level entries; dot names, links and
    // special files among them.
    tree_t tree(int entries, odd_dirs_t odd);

    // Makes up to five random changes to the real tree under `root`.
    void change(const std::string& root, bool dest_side);

  private:
    std::string bytes();
    // A moment in the past: today for a quarter of the files, otherwise up
    // to eight years back; mostly whole even seconds.
    void moment(std::int64_t* sec, long* nsec);
    entry_t file();
    entry_t link();
    void add(tree_t* tree, const std::string& dir, int depth, odd_dirs_t odd);

    rng_t& rng_;
    std::string outside_;
};

struct run_plan_t {
    std::vector<std::string> prefix;   // what starts the binary: nothing, or the privilege drop
    std::vector<std::string> args;
    bool refused = false;              // a list file that cannot be read stops the run before the walk
    model_options_t model;
    bool verbose = false;      // -v1 rather than -v0
    std::string log_path;      // absolute
    std::string versions;      // -k: the versions directory, absolute; empty without
};

// Operands and options of one run. `linked` names the operands through
// links to the two trees.
run_plan_t plan_run(rng_t& rng, const std::string& root, int run_index, bool linked);

}  // namespace oracle
