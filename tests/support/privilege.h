// Runs without privileges: a program started as the user nobody, on trees
// handed over to that user.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The user and group that runs without privileges become.
constexpr uid_t NOBODY = 65534;

// Why a program cannot be started as nobody here; empty when it can: as
// root, with setpriv installed.
std::string why_no_privilege_drop();

// The program and first arguments that start a program as nobody, without
// supplementary groups.
std::vector<std::string> as_nobody();

// Hands a tree to another owner, links included (a test failure names the
// first entry that could not be handed over).
void chown_tree(const std::string& root, uid_t uid, gid_t gid);
