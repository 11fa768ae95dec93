// File contents for tests.
#pragma once

#include <cstddef>
#include <random>
#include <string>

// `size` bytes drawn from `engine`, eight to each of its numbers, so that a
// seeded test makes the same contents whenever it draws in the same order.
std::string random_bytes(std::size_t size, std::mt19937_64& engine);

// Bytes in which every 4 KiB page carries its file and page number, so that
// a cut, shifted or mixed copy never compares equal; the same `file_id`
// always gives the same bytes.
std::string stamped(std::size_t size, unsigned file_id);
